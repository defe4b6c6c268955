#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

namespace tarnwick {

// One window per user and configuration directory. The first instance takes a lock file
// and listens on a local socket, both in the user's private runtime directory
// (PrivateRuntimeDirectory); a later one finds the lock taken, connects, sends the
// restore command and ends. A socket left behind by a crashed instance is removed, since
// its lock file died with it.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(const QString& configDirectory);
    ~SingleInstance() override;

    // Takes the lock and starts listening; false when another instance holds the lock.
    // Without a private runtime directory it takes nothing and returns true: the window
    // runs, only a later start cannot restore it (error() says why).
    bool becomePrimary();

    // From a later instance: sends `command` to the first one, retrying until it listens
    // or the time-out passes. True once the command was handed over.
    bool sendToPrimary(int command, std::chrono::milliseconds timeout);

    QString serverName() const { return name_; }
    const QString& error() const { return error_; }

signals:
    // A command from a later instance, on the first instance's thread.
    void commandReceived(int command);

private:
    void acceptConnection();

    QString name_;   // the socket's path; empty when there is no private place
    QString error_;  // why not, then
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};

}  // namespace tarnwick
