#include "tests/support/TestBackend.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "engine/socket/SocketAddress.h"

namespace tarnwick::testing {

TestBackend::TestBackend(std::string tag, Mode mode, std::string answer, const char* ip,
                         int port)
    : tag_(std::move(tag)), mode_(mode), answer_(std::move(answer)),
      stop_(::eventfd(0, EFD_CLOEXEC)) {
    SocketAddress address(*IpAddress::Parse(ip), port);
    listener_.reset(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::bind(listener_.get(), address.get(), address.length()) == 0 &&
        ::listen(listener_.get(), 128) == 0) {
        port_ = SocketAddress::LocalOf(listener_.get()).port();
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestBackend::~TestBackend() {
    const std::uint64_t one = 1;
    (void)::write(stop_.get(), &one, sizeof one);
    acceptor_.join();
    // No lock: nothing adds connections any more, and a connection thread still running
    // may need the lock to finish.
    for (auto& connection : connections_) {
        if (connection->thread.joinable()) {
            connection->thread.join();
        }
    }
}

void TestBackend::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd.valid()) {
            continue;
        }
        reapFinished();
        std::lock_guard lock(mutex_);
        auto connection = std::make_unique<Connection>();
        connection->fd = std::move(fd);
        Connection& served = *connection;
        connections_.push_back(std::move(connection));
        served.thread = std::thread([this, &served] { serve(served); });
        changed_.notify_all();
    }
}

// Joins the threads of connections that have ended, so a long test keeps few around.
void TestBackend::reapFinished() {
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) {
        if (connection->done && connection->thread.joinable()) {
            connection->thread.join();
        }
    }
}

bool TestBackend::sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t TestBackend::Digest(std::uint64_t digest, const char* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        digest = (digest ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    }
    return digest;
}

void TestBackend::update(const std::function<void()>& change) {
    std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
}

void TestBackend::record(Connection& connection, const char* data, std::size_t length) {
    update([&] {
        if (mode_ != Mode::BlockingEcho) {
            connection.received.append(data, length);
        }
        connection.digest = Digest(connection.digest, data, length);
        connection.count += length;
    });
}

// One connection. Most modes serve it full duplex: what it reads is queued and written
// back as the peer takes it, so the backend never stops reading because the peer is slow
// to read. BlockingEcho and NeverReads do stop reading, as some servers do.
void TestBackend::serve(Connection& connection) {
    int fd = connection.fd.get();
    std::string pending = mode_ == Mode::AnswerAfterEof ? std::string() : tag_;
    bool answersAtOnce = mode_ == Mode::SendAndClose || mode_ == Mode::NeverReads ||
                         mode_ == Mode::AnswerAndHalfClose || mode_ == Mode::ResetAfterAnswer;
    if (answersAtOnce) {
        pending += answer_;
    }
    bool peerEnded = mode_ == Mode::SendAndClose || mode_ == Mode::ResetAfterAnswer;
    bool finSent = false;
    End end = End::Closed;
    char buffer[65536];
    auto failed = [&](ssize_t n) { return n < 0 && errno != EAGAIN && errno != EINTR; };
    while (!(peerEnded && finSent)) {
        bool reading = !peerEnded && mode_ != Mode::NeverReads &&
                       (mode_ != Mode::BlockingEcho || pending.empty());
        pollfd fds[2] = {
            {fd, static_cast<short>((reading ? POLLIN : 0) | (pending.empty() ? 0 : POLLOUT)), 0},
            {stop_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents != 0) {
            end = End::Open;  // the backend is going away
            break;
        }
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
            end = End::Reset;
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (failed(n)) {
                end = errno == ECONNRESET ? End::Reset : End::Closed;
                break;
            }
            if (n == 0) {
                peerEnded = true;
                if (mode_ == Mode::AnswerAfterEof) {
                    pending = tag_ + answer_;
                }
            } else if (n > 0) {
                record(connection, buffer, static_cast<std::size_t>(n));
                if (mode_ == Mode::Echo || mode_ == Mode::BlockingEcho) {
                    pending.append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        if ((fds[0].revents & POLLOUT) != 0) {
            ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (failed(n)) {
                end = errno == ECONNRESET || errno == EPIPE ? End::Reset : End::Closed;
                break;
            }
            if (n > 0) {
                pending.erase(0, static_cast<std::size_t>(n));
            }
        }
        if (pending.empty() && mode_ == Mode::NeverReads) {
            pending = answer_;
        } else if (pending.empty() && mode_ == Mode::ResetAfterAnswer) {
            const linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            break;
        } else if (pending.empty() && !finSent &&
                   (peerEnded || mode_ == Mode::AnswerAndHalfClose)) {
            ::shutdown(fd, SHUT_WR);
            finSent = true;
        }
    }
    connection.fd.reset();
    update([&] { connection.end = end; });
    connection.done = true;
}

std::size_t TestBackend::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

bool TestBackend::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connections_.size() >= count; });
}

std::string TestBackend::received(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < connections_.size() ? connections_[index]->received : std::string();
}

bool TestBackend::waitForReceived(std::size_t index, std::size_t bytes,
                                  std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return index < connections_.size() && connections_[index]->received.size() >= bytes;
    });
}

}  // namespace tarnwick::testing

namespace tarnwick::testing {

std::uint64_t TestBackend::receivedDigest(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < connections_.size() ? connections_[index]->digest : DIGEST_START;
}

std::size_t TestBackend::receivedCount(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < connections_.size() ? connections_[index]->count : 0;
}

TestBackend::End TestBackend::waitForEnd(std::size_t index,
                                         std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
        return index < connections_.size() && connections_[index]->end != End::Open;
    });
    return index < connections_.size() ? connections_[index]->end : End::Open;
}

}  // namespace tarnwick::testing
