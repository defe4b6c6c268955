#include "ui/ApplicationIcon.h"

namespace tarnwick {

QIcon ApplicationIcon() {
    return QIcon(QStringLiteral(":/tarnwick/tarnwick.svg"));
}

}  // namespace tarnwick
