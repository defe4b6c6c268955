#include "tcp/Relay.h"

namespace tarnwick {

Relay::Outcome Relay::start() {
    Outcome outcome = sumUp(fromClient_.start());
    if (outcome != Outcome::Flowing) {
        return outcome;
    }
    return sumUp(fromForward_.start());
}

Relay::Outcome Relay::onReadable(Socket& socket) {
    return sumUp(readingFrom(socket).onReadable());
}

Relay::Outcome Relay::onWritable(Socket& socket) {
    return sumUp(writingTo(socket).onWritable());
}

// A hang-up without an error comes only from a side that has sent its FIN and to which the
// FIN of the other side has been passed on: what it sent before may still be held back.
Relay::Outcome Relay::onClosed(Socket& socket, int error) {
    if (error != 0) {
        return Outcome::Failed;
    }
    return sumUp(readingFrom(socket).onSourceHungUp());
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

Relay::Outcome Relay::sumUp(RelayDirection::Result result) const {
    if (result == RelayDirection::Result::Failed) {
        return Outcome::Failed;
    }
    if (fromClient_.ended() && fromForward_.ended()) {
        return Outcome::Finished;
    }
    return Outcome::Flowing;
}

}  // namespace tarnwick
