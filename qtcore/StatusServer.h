#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

#include "qtcore/StatusConnection.h"
#include "qtcore/StatusSocket.h"

namespace tarnwick {

// Answers `tarnwick --status` for a running instance, the window or headless. It listens
// on a local socket that only this user can reach (StatusSocket): the socket file is made
// with owner access only, and a connection from another user, the superuser aside, is
// dropped on its peer credentials.
//
// The protocol is one request line, "status", answered by one JSON document and a line
// break, after which the server closes the connection. At most MAX_CLIENTS are served at
// once; each is bounded in what it holds and how long it may take (StatusConnection).
class StatusServer : public QObject {
    Q_OBJECT

public:
    // `report` builds the document, on this object's thread, for each request.
    using Report = std::function<QByteArray()>;

    static constexpr std::size_t MAX_CLIENTS = 32;

    using Limits = StatusConnection::Limits;

    StatusServer(const QString& configDirectory, Report report, Limits limits = {},
                 QObject* parent = nullptr);
    ~StatusServer() override;  // stops listening and removes the socket file

    // Starts listening, taking over a socket file left by an instance that died. Call it
    // only while holding the directory's InstanceLock, so that the file can only be a
    // dead one's. False, with the reason in `error`, when a running instance answers
    // there all the same, no safe place was found or the socket cannot be made.
    bool listen(QString& error);
    const QString& path() const { return socket_.path; }
    // The clients being served now.
    std::size_t clients() const { return connections_.size(); }

private:
    void acceptConnections();
    void forget(const StatusConnection* ended);

    StatusSocket socket_;
    Report report_;
    Limits limits_;
    QLocalServer server_;
    std::vector<std::unique_ptr<StatusConnection>> connections_;
};

}  // namespace tarnwick
