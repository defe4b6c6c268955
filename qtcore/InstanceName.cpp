#include "qtcore/InstanceName.h"

#include <QCryptographicHash>
#include <QDir>
#include <unistd.h>

namespace tarnwick {

QString InstanceName(const QString& configDirectory) {
    QByteArray hash = QCryptographicHash::hash(QDir(configDirectory).absolutePath().toUtf8(),
                                               QCryptographicHash::Sha1)
                          .toHex()
                          .left(16);
    return QString("tarnwick-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

}  // namespace tarnwick
