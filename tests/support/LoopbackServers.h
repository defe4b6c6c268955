#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FreePort.h"

namespace tarnwick::testing {

inline sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline int BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A TCP socket listening on 127.0.0.1 on a port the system picks; throws when it cannot.
inline int ListenOnLoopback() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot listen");
    }
    return fd;
}

// A TCP backend on 127.0.0.1 that streams to each connection as fast as it takes the bytes,
// and never reads. For each connection it counts what was taken and notes when a send found
// the connection full: with a client that does not read either, everything in between has
// filled up by then.
class StreamServer {
public:
    StreamServer() {
        fd_ = ListenOnLoopback();
        port_ = BoundPort(fd_);
        thread_ = std::thread([this] { serve(); });
    }
    ~StreamServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

    // Waits until `count` connections have each taken at least `bytes` and then been found
    // full.
    bool waitUntilFull(std::size_t count, std::size_t bytes, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            std::size_t full = 0;
            for (const Flow& flow : flows_) full += flow.full && flow.sent >= bytes ? 1 : 0;
            return full >= count;
        });
    }

private:
    struct Flow {
        std::size_t sent = 0;
        bool full = false;
    };

    void serve() {
        std::vector<std::thread> sessions;
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 50) != 1) continue;
            int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client < 0) continue;
            std::lock_guard lock(mutex_);
            flows_.emplace_back();
            sessions.emplace_back([this, client, index = flows_.size() - 1] { stream(client, index); });
        }
        for (auto& session : sessions) session.join();
    }
    void stream(int client, std::size_t index) {
        const std::string piece(65536, 's');
        while (!stop_) {
            ssize_t n = ::send(client, piece.data(), piece.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) break;
            {
                std::lock_guard lock(mutex_);
                Flow& flow = flows_[index];
                flow.sent += n > 0 ? static_cast<std::size_t>(n) : 0;
                flow.full = flow.full || n < 0;
            }
            changed_.notify_all();
            if (n < 0) {
                pollfd writable{client, POLLOUT, 0};
                ::poll(&writable, 1, 50);
            }
        }
        ::close(client);
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Flow> flows_;  // one per connection, in order of acceptance
    std::thread thread_;
};

// A UDP backend that answers each datagram with `tag` followed by the datagram.
class UdpTagServer {
public:
    explicit UdpTagServer(std::string tag) : tag_(std::move(tag)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        port_ = BoundPort(fd_);
        thread_ = std::thread([this] { serve(); });
    }
    ~UdpTagServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    void serve() {
        char buffer[9000];
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 50) != 1) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) continue;
            std::string reply = tag_ + std::string(buffer, static_cast<std::size_t>(n));
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
    std::string tag_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A blocking TCP client with bounded waits.
class Client {
public:
    // `receiveBuffer`: the socket's receive buffer in bytes, when not the system's default.
    explicit Client(int port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address = Loopback(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    int localPort() const { return BoundPort(fd_); }
    // Closes with a reset instead of a FIN.
    void abort() {
        linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd_);
        fd_ = -1;
    }
    bool send(const std::string& data) {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }
    // Reads until `count` bytes have come, the peer closes, or the time-out passes.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string data;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (data.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) break;
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - data.size()), 0);
            if (n <= 0) break;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return data;
    }
    // True when the peer has closed (end of stream) within the time-out.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return false;
        char byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK) <= 0;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

// One UDP request and its answer, or nullopt after the time-out.
inline std::optional<std::string> UdpExchange(int port, const std::string& request,
                                              std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd ready{fd, POLLIN, 0};
    std::optional<std::string> answer;
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) == 1) {
        char buffer[9000];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n >= 0) answer = std::string(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

}  // namespace tarnwick::testing
