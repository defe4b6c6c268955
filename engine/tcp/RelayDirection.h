#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/socket/Socket.h"
#include "engine/tcp/SplicePipe.h"

namespace tarnwick {

// One direction of a relayed connection: the bytes that `from` sends, passed on to `to`
// in order, up to `from`'s FIN, which the caller passes on (Ended).
//
// Small pieces are copied through a buffer on the stack; once a piece fills it the
// direction carries a stream, which is spliced inside the kernel through a pipe of its
// own, and a piece smaller than the copy buffer ends the stream (the pipe is closed as
// soon as it is empty again). While `to` takes everything at once, a piece costs two
// calls (receive and send, or two splices) and nothing else.
//
// Backpressure: when `to` cannot take all of a piece, the rest is held (in the pipe, or in
// a heap buffer of at most one piece), `from`'s readable notices are switched off and
// `to`'s writable notices on. Nothing more is read from `from` until `to` has taken what
// is held; the kernel's buffers then fill and push back on the sender. So a direction
// holds at most one piece, and one slow receiver stalls only its own direction. The pipe
// and the buffer live in a backlog that exists only while the direction streams or holds
// something: an idle connection carries a pointer per direction and no more.
class RelayDirection {
public:
    // COPY_BUFFER_SIZE: the largest piece copied through the process. It is kept small
    // because every page of stack that a relay thread touches stays with it while its
    // connection is idle. STREAM_PIECE: the most spliced in one call.
    static constexpr std::size_t COPY_BUFFER_SIZE = 1024;
    static constexpr std::size_t STREAM_PIECE = SplicePipe::CAPACITY;
    // Full pieces moved per readable notice before the loop gets its turn again.
    static constexpr int PIECES_PER_NOTICE = 9;

    enum class Result {
        Flowing,  // nothing to report: moving, waiting for data, or waiting for `to`
        Ended,    // `from` has sent its FIN, and all its data has been passed on
        Failed,   // an error or a reset on either socket
    };

    RelayDirection(Socket& from, Socket& to) : from_(from), to_(to) {}
    RelayDirection(const RelayDirection&) = delete;
    RelayDirection& operator=(const RelayDirection&) = delete;

    // Before start: bytes already read from `from` that go to `to` ahead of everything
    // else (a Smart port's first piece).
    void hold(std::unique_ptr<unsigned char[]> data, std::size_t length);
    // Before start: bytes to go to `to` ahead of what is held (a header of the session's
    // own). They count as delivered once `to` has taken them.
    void holdFirst(const unsigned char* data, std::size_t length);
    // Both sockets are connected: passes on what is held and starts reading `from`.
    Result start();

    // `from` is readable.
    Result onReadable();
    // `to` is writable.
    Result onWritable();
    // `from` has hung up without an error: it sent its FIN, and the loop no longer polls
    // it. What it sent before is still read, once `to` has room.
    Result onSourceHungUp();

    Socket& source() const { return from_; }
    Socket& sink() const { return to_; }
    bool ended() const { return ended_; }
    // `from` has sent its FIN (what it sent before may still be held).
    bool sourceEnded() const { return !sourceOpen_; }
    // Bytes that `to` has taken so far, a count of this direction's own.
    std::uint64_t delivered() const { return delivered_; }
    // The errno that made this direction fail; 0 while it has not.
    int error() const { return error_; }
    // Bytes read from `from` that `to` has not taken yet.
    bool holdsData() const;

private:
    struct Backlog {
        SplicePipe pipe;
        std::unique_ptr<unsigned char[]> bytes;  // the rest of a copied piece
        std::size_t start = 0;
        std::size_t end = 0;
    };

    Backlog& backlog();
    void releaseIdleBacklog();
    Result pump(bool untilDry);
    long movePiece(bool& full);
    long copyPiece();
    long splicePiece();
    long flushBytes();
    long flushPipe();
    void stall();
    Result resume();
    Result endOfData();
    Result end();
    Result fail(long error);

    Socket& from_;
    Socket& to_;
    std::unique_ptr<Backlog> backlog_;  // only while streaming or holding bytes
    bool streaming_ = false;            // a piece filled the copy buffer: splice from now on
    bool spliceable_ = true;            // false once the kernel refused to splice these sockets
    bool stalled_ = false;              // `to` is full: waiting for it to be writable
    bool sourceOpen_ = true;            // `from` has not sent its FIN yet
    bool sourceHungUp_ = false;
    bool ended_ = false;
    std::uint64_t delivered_ = 0;
    int error_ = 0;
};

}  // namespace tarnwick
