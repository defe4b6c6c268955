#include "ui/ByteText.h"

#include <QByteArray>

namespace tarnwick {

QString ToFieldText(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string FromFieldText(const QString& text, const std::string& original) {
    if (text == ToFieldText(original)) {
        return original;
    }
    QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

}  // namespace tarnwick
