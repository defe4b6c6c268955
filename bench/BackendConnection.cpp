#include "bench/BackendConnection.h"

#include <sys/socket.h>

#include <cerrno>

namespace tarnwick::bench {

namespace {

// Reads taken from one sink connection per readiness notice, so that one fast sender
// does not starve the other connections of its thread.
constexpr int kSinkReadsPerTurn = 16;
constexpr std::size_t kMaxHeaderDigits = 19;

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

BackendConnection::BackendConnection(UniqueFd fd, const BackendMode& mode)
    : fd_(std::move(fd)), mode_(mode) {}

BackendConnection::Want BackendConnection::onReadable(std::span<char> scratch,
                                                      BackendCounters& counters) {
    return mode_.kind == BackendMode::Kind::Sink ? sink(scratch, counters)
                                                 : echo(scratch, counters);
}

BackendConnection::Want BackendConnection::onWritable(BackendCounters& counters) {
    return flush(counters);
}

BackendConnection::Want BackendConnection::echo(std::span<char> scratch,
                                                BackendCounters& counters) {
    const ssize_t got = ::recv(fd(), scratch.data(), scratch.size(), 0);
    if (got < 0) {
        return (errno == EINTR || wouldBlock()) ? Want::Read : Want::Close;
    }
    if (got == 0) {
        return Want::Close;
    }
    counters.bytesIn += static_cast<std::uint64_t>(got);
    if (mode_.kind == BackendMode::Kind::Tag && !tagSent_) {
        tagSent_ = true;
        queue(mode_.tag.data(), mode_.tag.size());
    }
    queue(scratch.data(), static_cast<std::size_t>(got));
    return flush(counters);
}

BackendConnection::Want BackendConnection::sink(std::span<char> scratch,
                                                BackendCounters& counters) {
    for (int turn = 0; turn < kSinkReadsPerTurn; ++turn) {
        const ssize_t got = ::recv(fd(), scratch.data(), scratch.size(), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return wouldBlock() ? Want::Read : Want::Close;
        }
        if (got == 0) {
            return Want::Close;
        }
        counters.bytesIn += static_cast<std::uint64_t>(got);
        if (!consumeSink(scratch.data(), static_cast<std::size_t>(got))) {
            return Want::Close;
        }
        if (!pending_.empty()) {
            return flush(counters);
        }
    }
    return Want::Read;
}

bool BackendConnection::consumeSink(const char* data, std::size_t size) {
    std::size_t used = 0;
    while (!headerDone_ && used < size) {
        const char c = data[used++];
        if (c == '\n' && !header_.empty()) {
            expected_ = std::stoull(header_);
            headerDone_ = true;
        } else if (c >= '0' && c <= '9' && header_.size() < kMaxHeaderDigits) {
            header_ += c;
        } else {
            return false;
        }
    }
    received_ += size - used;
    if (headerDone_ && !acked_ && received_ >= expected_) {
        acked_ = true;
        const std::string ack = "received=" + std::to_string(received_) + "\n";
        queue(ack.data(), ack.size());
    }
    return true;
}

void BackendConnection::queue(const char* data, std::size_t size) {
    pending_.append(data, size);
}

BackendConnection::Want BackendConnection::flush(BackendCounters& counters) {
    while (pendingSent_ < pending_.size()) {
        const ssize_t sent = ::send(fd(), pending_.data() + pendingSent_,
                                    pending_.size() - pendingSent_, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0) {
            return wouldBlock() ? Want::Write : Want::Close;
        }
        pendingSent_ += static_cast<std::size_t>(sent);
        counters.bytesOut += static_cast<std::uint64_t>(sent);
    }
    pending_.clear();
    pendingSent_ = 0;
    return Want::Read;
}

}  // namespace tarnwick::bench
