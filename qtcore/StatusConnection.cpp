#include "qtcore/StatusConnection.h"

#include <QLocalSocket>

#include <algorithm>

namespace tarnwick {

StatusConnection::StatusConnection(QLocalSocket* socket, const Report& report, Limits limits)
    : socket_(socket), report_(report), limits_(limits) {
    socket_->setParent(this);
    socket_->setReadBufferSize(MAX_QUESTION);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &StatusConnection::drop);
    connect(socket_, &QLocalSocket::readyRead, this, &StatusConnection::readQuestion);
    connect(socket_, &QLocalSocket::bytesWritten, this, &StatusConnection::writeMore);
    connect(socket_, &QLocalSocket::disconnected, this, &StatusConnection::end,
            Qt::QueuedConnection);
}

void StatusConnection::start() {
    deadline_.start(limits_.questionTime);
    readQuestion();  // what arrived before the connection was taken
}

void StatusConnection::readQuestion() {
    if (answering_) {
        socket_->readAll();  // nothing more is asked on one connection
        return;
    }
    if (!socket_->canReadLine()) {
        if (socket_->bytesAvailable() >= MAX_QUESTION) {
            drop();  // no question is that long
        }
        return;
    }
    if (socket_->readLine(MAX_QUESTION).trimmed() != "status") {
        drop();
        return;
    }
    answering_ = true;
    answer_ = report_() + "\n";
    deadline_.start(limits_.answerTime);
    writeMore();
}

// Hands the socket the next piece of the answer once it has sent the last one, so that a
// client that reads slowly holds one piece in the socket's buffer, not the whole answer.
void StatusConnection::writeMore() {
    if (!answering_ || socket_->bytesToWrite() > 0) {
        return;
    }
    if (sent_ == answer_.size()) {
        socket_->disconnectFromServer();  // the answer has gone out whole
        return;
    }
    const qint64 piece = std::min<qint64>(ANSWER_CHUNK, answer_.size() - sent_);
    const qint64 written = socket_->write(answer_.constData() + sent_, piece);
    if (written <= 0) {
        drop();
        return;
    }
    sent_ += written;
}

void StatusConnection::drop() {
    socket_->abort();
    end();
}

void StatusConnection::end() {
    deadline_.stop();
    if (!ended_) {
        ended_ = true;
        emit finished();
    }
}

}  // namespace tarnwick
