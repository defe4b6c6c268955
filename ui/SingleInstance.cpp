#include "ui/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include "qtcore/InstanceName.h"

namespace tarnwick {

namespace {

QString LockPath(const QString& name) {
    QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (directory.isEmpty()) {
        directory = QDir::tempPath();
    }
    return directory + "/" + name + ".lock";
}

}  // namespace

SingleInstance::SingleInstance(const QString& configDirectory)
    : name_(InstanceName(configDirectory)), lock_(LockPath(name_)) {
    lock_.setStaleLockTime(0);  // a lock whose process is gone is taken over at once
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::becomePrimary() {
    if (!lock_.tryLock(0)) {
        return false;
    }
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(name_)) {
        QLocalServer::removeServer(name_);  // left behind by an instance that crashed
        server_.listen(name_);
    }
    return true;
}

bool SingleInstance::sendToPrimary(int command, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(name_);
        if (socket.waitForConnected(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)))) {
            socket.write(QByteArray::number(command) + "\n");
            return socket.waitForBytesWritten(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
        }
        // The first instance holds the lock but is not listening yet: try again shortly.
        QThread::msleep(50);
    }
    return false;
}

void SingleInstance::acceptConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto readCommands = [this, socket] {
            while (socket->canReadLine()) {
                bool ok = false;
                int command = socket->readLine().trimmed().toInt(&ok);
                if (ok) {
                    emit commandReceived(command);
                }
            }
        };
        connect(socket, &QLocalSocket::readyRead, this, readCommands);
        readCommands();  // what arrived before the connection was taken
    }
}

}  // namespace tarnwick
