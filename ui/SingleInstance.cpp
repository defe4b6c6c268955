#include "ui/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QFile>
#include <QThread>

#include <optional>

#include "qtcore/InstanceName.h"
#include "qtcore/StatusSocket.h"

namespace tarnwick {

namespace {

// The socket's path in the private runtime directory, or empty with the reason in `error`.
QString SocketPath(const QString& configDirectory, QString& error) {
    std::string problem;
    std::optional<std::string> directory = PrivateRuntimeDirectory(problem);
    if (!directory) {
        error = "no private place for the window's socket: " + QString::fromStdString(problem);
        return {};
    }
    return QFile::decodeName(QByteArray::fromStdString(*directory)) + "/" +
           InstanceName(configDirectory) + ".window";
}

}  // namespace

SingleInstance::SingleInstance(const QString& configDirectory)
    : name_(SocketPath(configDirectory, error_)) {
    if (!name_.isEmpty()) {
        lock_ = std::make_unique<QLockFile>(name_ + ".lock");
        lock_->setStaleLockTime(0);  // a lock whose process is gone is taken over at once
    }
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::becomePrimary() {
    if (!lock_) {
        return true;
    }
    if (!lock_->tryLock(0)) {
        return false;
    }
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(name_)) {
        QLocalServer::removeServer(name_);  // left behind by an instance that crashed
        if (!server_.listen(name_)) {
            error_ = "cannot listen on " + name_ + ": " + server_.errorString();
        }
    }
    return true;
}

bool SingleInstance::sendToPrimary(int command, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!name_.isEmpty() && !deadline.hasExpired()) {
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
