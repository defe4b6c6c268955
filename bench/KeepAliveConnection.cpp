#include "bench/KeepAliveConnection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "bench/Net.h"

namespace tarnwick::bench {

namespace {

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

KeepAliveConnection::KeepAliveConnection(UniqueFd fd, std::uint64_t id, std::size_t size)
    : fd_(std::move(fd)), firstRound_(id << 40), echo_(size), received_(size) {}

KeepAliveConnection::Step KeepAliveConnection::start(Clock::time_point now) {
    echo_.prepare(firstRound_ + round_++);
    written_ = 0;
    read_ = 0;
    inFlight_ = true;
    sentAt_ = now;
    return sendMore();
}

KeepAliveConnection::Step KeepAliveConnection::onWritable() {
    return wantsWrite() ? sendMore() : Step::Waiting;
}

KeepAliveConnection::Step KeepAliveConnection::sendMore() {
    const auto message = echo_.message();
    while (written_ < message.size()) {
        const ssize_t sent =
            ::send(fd(), message.data() + written_, message.size() - written_, MSG_NOSIGNAL);
        if (sent < 0) {
            return wouldBlock() ? Step::Waiting : fail("send:" + errnoText());
        }
        written_ += static_cast<std::size_t>(sent);
    }
    return Step::Waiting;
}

KeepAliveConnection::Step KeepAliveConnection::onReadable() {
    // With no request in flight, nothing may arrive: a byte now is one the backend never got.
    const std::size_t room = inFlight_ ? received_.size() - read_ : 1;
    char* into = inFlight_ ? received_.data() + read_ : received_.data();
    const ssize_t got = ::recv(fd(), into, room, 0);
    if (got < 0) {
        return wouldBlock() ? Step::Waiting : fail("recv:" + errnoText());
    }
    if (got == 0) {
        return fail("closed_by_peer");
    }
    if (!inFlight_) {
        return fail("unasked_bytes");
    }
    read_ += static_cast<std::size_t>(got);
    if (read_ < received_.size()) {
        return Step::Waiting;
    }
    const auto message = echo_.message();
    if (!std::equal(received_.begin(), received_.end(), message.begin(), message.end())) {
        return fail("wrong_echo");
    }
    inFlight_ = false;
    return Step::Answered;
}

KeepAliveConnection::Step KeepAliveConnection::fail(const std::string& why) {
    if (failure_.empty()) {
        failure_ = why;
    }
    inFlight_ = false;
    fd_.reset();
    return Step::Failed;
}

}  // namespace tarnwick::bench
