#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/socket/Socket.h"
#include "engine/tcp/RelayDirection.h"

namespace tarnwick {

// The two directions of one relayed connection, between the client's socket and the
// destination's. Each direction flows on its own (RelayDirection): a receiver that is full
// stalls only the direction towards it. The relay routes the sockets' notices to the
// directions and sums up what they report:
// - a FIN is passed on as a FIN (a half-close), and the other direction keeps flowing;
// - once both sides have sent their FIN and all their data has been passed on, the
//   connection is Finished, and closing both sockets passes the second FIN on;
// - an error or a reset on either side is Failed, and the caller should then abort both
//   sides, so that each peer learns that the stream was cut rather than complete.
// The sockets belong to the caller; the relay only borrows them.
class Relay {
public:
    enum class Outcome { Flowing, Finished, Failed };

    Relay(Socket& client, Socket& forward)
        : fromClient_(client, forward), fromForward_(forward, client) {}

    // Before start: the client's first piece, to go to the destination before anything.
    void holdForForward(std::unique_ptr<unsigned char[]> data, std::size_t length) {
        fromClient_.hold(std::move(data), length);
    }
    // Before start: bytes of the session's own (a PROXY protocol header) that go to the
    // destination before everything from the client. They do not count as the client's.
    void sendFirstToForward(const std::vector<unsigned char>& bytes) {
        fromClient_.holdFirst(bytes.data(), bytes.size());
        ownBytesToForward_ += bytes.size();
    }
    // Both connections are up: starts relaying both ways.
    Outcome start();

    // Notices of either socket.
    Outcome onReadable(Socket& socket);
    Outcome onWritable(Socket& socket);
    Outcome onClosed(Socket& socket, int error);

    // Closes both sockets. A side that still had bytes coming from the other is reset, not
    // closed, so that it does not take a cut stream for a complete one.
    void close();
    // Closes both sockets with a reset.
    void abort();

    // What the session reports: the bytes relayed each way so far, which side sent its FIN
    // first, and the errno of a failure (0 when there was none, or none was told).
    enum class Side { None, Client, Forward };
    std::uint64_t bytesFromClient() const {
        const std::uint64_t delivered = fromClient_.delivered();
        return delivered > ownBytesToForward_ ? delivered - ownBytesToForward_ : 0;
    }
    std::uint64_t bytesToClient() const { return fromForward_.delivered(); }
    Side firstToEnd() const { return firstToEnd_; }
    int error() const;

private:
    RelayDirection& readingFrom(Socket& socket) {
        return &socket == &fromClient_.source() ? fromClient_ : fromForward_;
    }
    RelayDirection& writingTo(Socket& socket) {
        return &socket == &fromClient_.source() ? fromForward_ : fromClient_;
    }
    Outcome sumUp(RelayDirection& direction, RelayDirection::Result result);

    RelayDirection fromClient_;
    RelayDirection fromForward_;
    Side firstToEnd_ = Side::None;
    int error_ = 0;  // of a hang-up with an error, or of a half-close that failed
    std::uint64_t ownBytesToForward_ = 0;  // sendFirstToForward's, ahead of the client's
};

}  // namespace tarnwick
