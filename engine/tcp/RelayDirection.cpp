#include "engine/tcp/RelayDirection.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace tarnwick {

void RelayDirection::hold(std::unique_ptr<unsigned char[]> data, std::size_t length) {
    Backlog& held = backlog();
    held.bytes = std::move(data);
    held.start = 0;
    held.end = length;
}

void RelayDirection::holdFirst(const unsigned char* data, std::size_t length) {
    Backlog& held = backlog();
    const std::size_t rest = held.end - held.start;
    auto bytes = std::make_unique_for_overwrite<unsigned char[]>(length + rest);
    std::memcpy(bytes.get(), data, length);
    if (rest > 0) {
        std::memcpy(bytes.get() + length, held.bytes.get() + held.start, rest);
    }
    hold(std::move(bytes), length + rest);
}

bool RelayDirection::holdsData() const {
    return backlog_ && (backlog_->start < backlog_->end || backlog_->pipe.size() > 0);
}

RelayDirection::Backlog& RelayDirection::backlog() {
    if (!backlog_) {
        backlog_ = std::make_unique<Backlog>();
    }
    return *backlog_;
}

// A quiet direction gives its pipe and buffer back.
void RelayDirection::releaseIdleBacklog() {
    if (backlog_ && !streaming_ && !holdsData()) {
        backlog_.reset();
    }
}

RelayDirection::Result RelayDirection::start() {
    if (long flushed = flushBytes(); flushed < 0) {
        return fail(flushed);
    }
    if (!stalled_) {
        releaseIdleBacklog();
        from_.setReadNotices(true);
    }
    return Result::Flowing;
}

RelayDirection::Result RelayDirection::onReadable() {
    if (stalled_ || !sourceOpen_) {
        return Result::Flowing;  // a notice polled before this direction stopped reading
    }
    return pump(sourceHungUp_);
}

RelayDirection::Result RelayDirection::onWritable() {
    if (!stalled_) {
        return Result::Flowing;
    }
    stalled_ = false;  // set again by a flush that finds `to` still full
    long flushed = flushBytes();
    if (flushed >= 0) {
        flushed = flushPipe();
    }
    if (flushed < 0) {
        return fail(flushed);
    }
    return stalled_ ? Result::Flowing : resume();
}

RelayDirection::Result RelayDirection::onSourceHungUp() {
    sourceHungUp_ = true;
    if (sourceOpen_ && !stalled_) {
        return pump(true);
    }
    return Result::Flowing;  // read on resume, which then reads to the end
}

// Moves pieces until `from` has nothing more waiting, `to` is full, or (unless `untilDry`)
// a few full pieces have gone, so that one busy direction does not hold up the loop.
RelayDirection::Result RelayDirection::pump(bool untilDry) {
    for (int piece = 1;; ++piece) {
        bool full = false;
        long moved = movePiece(full);
        if (moved == -EAGAIN) {
            return Result::Flowing;
        }
        if (moved == 0) {
            return endOfData();
        }
        if (moved < 0) {
            return fail(moved);
        }
        if (stalled_) {
            return Result::Flowing;
        }
        if (!untilDry && (!full || piece >= PIECES_PER_NOTICE)) {
            return Result::Flowing;
        }
    }
}

// One piece from `from`: the bytes read (whether or not `to` took them all), 0 at the end
// of `from`'s data, or -errno of either socket.
long RelayDirection::movePiece(bool& full) {
    bool splicing = streaming_ && spliceable_;
    long moved = splicing ? splicePiece() : copyPiece();
    long limit = static_cast<long>(splicing && spliceable_ ? STREAM_PIECE : COPY_BUFFER_SIZE);
    full = moved == limit;
    if (full) {
        streaming_ = true;
    } else if (moved >= 0 && moved < static_cast<long>(COPY_BUFFER_SIZE)) {
        streaming_ = false;
        releaseIdleBacklog();
    }
    return moved;
}

long RelayDirection::copyPiece() {
    unsigned char buffer[COPY_BUFFER_SIZE];
    long received = from_.Receive(buffer, sizeof buffer);
    if (received <= 0) {
        return received;
    }
    long sent = to_.Send(buffer, static_cast<std::size_t>(received));
    if (sent == -EAGAIN) {
        sent = 0;
    }
    if (sent < 0) {
        return sent;
    }
    delivered_ += static_cast<std::uint64_t>(sent);
    if (sent < received) {
        auto rest = static_cast<std::size_t>(received - sent);
        auto bytes = std::make_unique_for_overwrite<unsigned char[]>(rest);
        std::memcpy(bytes.get(), buffer + sent, rest);
        hold(std::move(bytes), rest);
        stall();
    }
    return received;
}

// A piece through the pipe; copied instead where no pipe can be had, and from then on
// where the kernel cannot splice these sockets.
long RelayDirection::splicePiece() {
    SplicePipe& pipe = backlog().pipe;
    if (pipe.open() != 0) {
        return copyPiece();
    }
    long moved = pipe.fillFrom(from_.handle(), STREAM_PIECE);
    from_.noteRead(moved, 0);
    if (moved == -EINVAL) {
        spliceable_ = false;
        return copyPiece();
    }
    if (moved <= 0) {
        return moved;
    }
    long flushed = flushPipe();
    return flushed < 0 ? flushed : moved;
}

// Sends the held rest of a copied piece; 0 when all of it went or `to` is full again
// (then stalled), else -errno.
long RelayDirection::flushBytes() {
    if (!backlog_) {
        return 0;
    }
    Backlog& held = *backlog_;
    while (held.start < held.end) {
        long sent = to_.Send(held.bytes.get() + held.start, held.end - held.start);
        if (sent == -EAGAIN) {
            stall();
            return 0;
        }
        if (sent < 0) {
            return sent;
        }
        delivered_ += static_cast<std::uint64_t>(sent);
        held.start += static_cast<std::size_t>(sent);
    }
    held.bytes.reset();
    held.start = held.end = 0;
    return 0;
}

long RelayDirection::flushPipe() {
    if (!backlog_) {
        return 0;
    }
    SplicePipe& pipe = backlog_->pipe;
    while (pipe.size() > 0) {
        long sent = pipe.drainTo(to_.handle());
        to_.noteWrite(sent, 0);
        if (sent == -EAGAIN || sent == 0) {
            stall();
            return 0;
        }
        if (sent < 0) {
            return sent;
        }
        delivered_ += static_cast<std::uint64_t>(sent);
    }
    return 0;
}

void RelayDirection::stall() {
    stalled_ = true;
    from_.setReadNotices(false);
    to_.setWriteNotices(true);
}

// `to` has taken everything held: read `from` again, at once, since it most likely has
// more waiting (and one that hung up is no longer polled), or end with the FIN that came
// while the data was held.
RelayDirection::Result RelayDirection::resume() {
    to_.setWriteNotices(false);
    releaseIdleBacklog();
    if (!sourceOpen_) {
        return end();
    }
    from_.setReadNotices(true);
    return pump(sourceHungUp_);
}

RelayDirection::Result RelayDirection::endOfData() {
    sourceOpen_ = false;
    from_.setReadNotices(false);  // the end of data would keep polling readable
    if (stalled_ || holdsData()) {
        return Result::Flowing;  // the FIN follows what is held
    }
    return end();
}

RelayDirection::Result RelayDirection::end() {
    ended_ = true;
    backlog_.reset();  // empty by now
    return Result::Ended;
}

RelayDirection::Result RelayDirection::fail(long error) {
    error_ = static_cast<int>(-error);
    return Result::Failed;
}

}  // namespace tarnwick
