#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

class QLocalSocket;

namespace tarnwick {

// One client of the status server: reads its question, answers it and closes. What a
// client can hold is bounded: its question may be MAX_QUESTION bytes and must end within
// Limits::questionTime; the answer goes out ANSWER_CHUNK bytes at a time as the client
// reads it, and must be read whole within Limits::answerTime. A client that breaks a
// bound is dropped.
class StatusConnection : public QObject {
    Q_OBJECT

public:
    using Report = std::function<QByteArray()>;

    static constexpr qint64 MAX_QUESTION = 64;
    static constexpr qint64 ANSWER_CHUNK = 64 * 1024;
    struct Limits {
        std::chrono::milliseconds questionTime{3000};
        std::chrono::milliseconds answerTime{10000};
    };

    // Takes `socket` as its child; `report` must outlive this object.
    StatusConnection(QLocalSocket* socket, const Report& report, Limits limits);

    // Starts the question's clock and reads what has arrived; connect to finished() first.
    void start();

signals:
    // Once, when the connection has ended; the owner may then delete this object.
    void finished();

private:
    void readQuestion();
    void writeMore();
    void drop();
    void end();

    QLocalSocket* socket_;  // a child of this object
    const Report& report_;
    Limits limits_;
    QTimer deadline_;
    QByteArray answer_;
    qint64 sent_ = 0;
    bool answering_ = false;
    bool ended_ = false;
};

}  // namespace tarnwick
