#include "engine/tcp/Relay.h"

namespace tarnwick {

Relay::Outcome Relay::start() {
    Outcome outcome = sumUp(fromClient_, fromClient_.start());
    if (outcome != Outcome::Flowing) {
        return outcome;
    }
    return sumUp(fromForward_, fromForward_.start());
}

Relay::Outcome Relay::onReadable(Socket& socket) {
    RelayDirection& direction = readingFrom(socket);
    return sumUp(direction, direction.onReadable());
}

Relay::Outcome Relay::onWritable(Socket& socket) {
    RelayDirection& direction = writingTo(socket);
    return sumUp(direction, direction.onWritable());
}

// A hang-up without an error comes only from a side that has sent its FIN and to which the
// FIN of the other side has been passed on: what it sent before may still be held back.
Relay::Outcome Relay::onClosed(Socket& socket, int error) {
    if (error != 0) {
        error_ = error;
        return Outcome::Failed;
    }
    RelayDirection& direction = readingFrom(socket);
    return sumUp(direction, direction.onSourceHungUp());
}

void Relay::close() {
    Socket& client = fromClient_.source();
    Socket& forward = fromForward_.source();
    if (fromForward_.holdsData()) {
        client.Abort();
    }
    if (fromClient_.holdsData()) {
        forward.Abort();
    }
    client.Close();
    forward.Close();
}

void Relay::abort() {
    fromClient_.source().Abort();
    fromForward_.source().Abort();
}

// A direction that has ended passes its FIN on as a half-close, unless the other has ended
// too: the connection is then finished, and closing it sends that FIN.
Relay::Outcome Relay::sumUp(RelayDirection& direction, RelayDirection::Result result) {
    if (firstToEnd_ == Side::None && direction.sourceEnded()) {
        firstToEnd_ = &direction == &fromClient_ ? Side::Client : Side::Forward;
    }
    if (result == RelayDirection::Result::Failed) {
        return Outcome::Failed;
    }
    if (fromClient_.ended() && fromForward_.ended()) {
        return Outcome::Finished;
    }
    if (result == RelayDirection::Result::Ended) {
        if (int failed = direction.sink().ShutdownSend(); failed != 0) {
            error_ = -failed;
            return Outcome::Failed;
        }
    }
    return Outcome::Flowing;
}

int Relay::error() const {
    if (error_ != 0) {
        return error_;
    }
    return fromClient_.error() != 0 ? fromClient_.error() : fromForward_.error();
}

}  // namespace tarnwick
