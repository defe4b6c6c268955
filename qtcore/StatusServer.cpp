#include "qtcore/StatusServer.h"

#include <QLocalSocket>
#include <unistd.h>

#include <algorithm>


namespace tarnwick {

namespace {

constexpr int LIVE_PROBE_MS = 1000;

// True when something accepts connections at `path`: another instance is running there.
bool Answers(const QString& path) {
    QLocalSocket probe;
    probe.connectToServer(path);
    return probe.waitForConnected(LIVE_PROBE_MS);
}

}  // namespace

StatusServer::StatusServer(const QString& configDirectory, Report report, Limits limits,
                           QObject* parent)
    : QObject(parent),
      socket_(StatusSocket::Locate(configDirectory)),
      report_(std::move(report)),
      limits_(limits) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &StatusServer::acceptConnections);
}

StatusServer::~StatusServer() {
    server_.close();
}

bool StatusServer::listen(QString& error) {
    if (socket_.path.isEmpty()) {
        error = socket_.error;
        return false;
    }
    if (server_.listen(socket_.path)) {
        return true;
    }
    if (server_.serverError() == QAbstractSocket::AddressInUseError) {
        if (Answers(socket_.path)) {
            error = "another running instance answers on " + socket_.path;
            return false;
        }
        QLocalServer::removeServer(socket_.path);  // left behind by an instance that died
        if (server_.listen(socket_.path)) {
            return true;
        }
    }
    error = "cannot listen on " + socket_.path + ": " + server_.errorString();
    return false;
}

void StatusServer::acceptConnections() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (connections_.size() >= MAX_CLIENTS ||
            !AnswersClient(PeerUser(static_cast<int>(socket->socketDescriptor())), ::geteuid())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto connection = std::make_unique<StatusConnection>(socket, report_, limits_);
        // Queued: the connection ends inside its own handlers, and goes only after them.
        connect(connection.get(), &StatusConnection::finished, this,
                [this, ended = connection.get()] { forget(ended); }, Qt::QueuedConnection);
        connections_.push_back(std::move(connection));
        connections_.back()->start();
    }
}

void StatusServer::forget(const StatusConnection* ended) {
    std::erase_if(connections_, [ended](const auto& connection) { return connection.get() == ended; });
}

}  // namespace tarnwick
