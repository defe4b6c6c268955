#include "qtcore/StatusServer.h"

#include <QLocalSocket>
#include <sys/socket.h>
#include <unistd.h>

namespace tarnwick {

namespace {

constexpr qint64 MAX_REQUEST = 64;
constexpr int LIVE_PROBE_MS = 1000;

// True when the connection's other end runs as this process's user.
bool SameUser(const QLocalSocket& socket) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED,
                        &peer, &length) == 0 &&
           peer.uid == ::getuid();
}

// True when something accepts connections at `path`: another instance is running there.
bool Answers(const QString& path) {
    QLocalSocket probe;
    probe.connectToServer(path);
    return probe.waitForConnected(LIVE_PROBE_MS);
}

}  // namespace

StatusServer::StatusServer(QString path, Report report, QObject* parent)
    : QObject(parent), path_(std::move(path)), report_(std::move(report)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &StatusServer::acceptConnections);
}

StatusServer::~StatusServer() {
    server_.close();
}

bool StatusServer::listen(QString& error) {
    if (server_.listen(path_)) {
        return true;
    }
    if (server_.serverError() == QAbstractSocket::AddressInUseError) {
        if (Answers(path_)) {
            error = "another running instance answers on " + path_;
            return false;
        }
        QLocalServer::removeServer(path_);  // left behind by an instance that died
        if (server_.listen(path_)) {
            return true;
        }
    }
    error = "cannot listen on " + path_ + ": " + server_.errorString();
    return false;
}

void StatusServer::acceptConnections() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!SameUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
        readRequest(socket);  // what arrived before the connection was taken
    }
}

void StatusServer::readRequest(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > MAX_REQUEST) {
            socket->disconnectFromServer();  // no request is that long
        }
        return;
    }
    if (socket->readLine(MAX_REQUEST).trimmed() == "status") {
        socket->write(report_() + "\n");
    }
    socket->disconnectFromServer();  // after what was written has gone out
}

}  // namespace tarnwick
