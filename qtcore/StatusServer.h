#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

class QLocalSocket;

namespace tarnwick {

// Answers `tarnwick --status` for a running instance, the window or headless. It listens
// on a local socket that only this user can reach: the socket file is made with owner
// access only, and a connection from another user (which only the superuser could make) is
// dropped on its peer credentials.
//
// The protocol is one request line, "status", answered by one JSON document and a line
// break, after which the server closes the connection.
class StatusServer : public QObject {
    Q_OBJECT

public:
    // `report` builds the document, on this object's thread, for each request.
    using Report = std::function<QByteArray()>;

    StatusServer(QString path, Report report, QObject* parent = nullptr);
    ~StatusServer() override;  // stops listening and removes the socket file

    // Starts listening at the path, taking over a socket file left by an instance that
    // died. False, with the reason in `error`, when a running instance answers there
    // already or the socket cannot be made.
    bool listen(QString& error);
    const QString& path() const { return path_; }

private:
    void acceptConnections();
    void readRequest(QLocalSocket* socket);

    QString path_;
    Report report_;
    QLocalServer server_;
};

}  // namespace tarnwick
