#include "qtcore/InstanceName.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <sys/un.h>
#include <unistd.h>

namespace tarnwick {

QString InstanceName(const QString& configDirectory) {
    QByteArray hash = QCryptographicHash::hash(QDir(configDirectory).absolutePath().toUtf8(),
                                               QCryptographicHash::Sha1)
                          .toHex()
                          .left(16);
    return QString("tarnwick-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

QString StatusSocketPath(const QString& configDirectory) {
    QString path = QDir(configDirectory).absoluteFilePath("tarnwick.sock");
    if (static_cast<std::size_t>(QFile::encodeName(path).size()) < sizeof(sockaddr_un::sun_path)) {
        return path;
    }
    return QDir(QDir::tempPath()).absoluteFilePath(InstanceName(configDirectory) + ".sock");
}

}  // namespace tarnwick
