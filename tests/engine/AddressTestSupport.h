#pragma once

// Sockets on chosen loopback addresses of either family.

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "engine/socket/SocketAddress.h"
#include "base/UniqueFd.h"

namespace tarnwick::testing::address {

inline SocketAddress At(const char* ip, int port) {
    return SocketAddress(*IpAddress::Parse(ip), port);
}

// A socket of `type` bound to `ip` at a port the system chose; invalid if it cannot be.
inline UniqueFd BoundSocket(const char* ip, int type) {
    SocketAddress local = At(ip, 0);
    UniqueFd fd(::socket(local.family(), type | SOCK_CLOEXEC, 0));
    if (fd.valid() && ::bind(fd.get(), local.get(), local.length()) != 0) {
        fd.reset();
    }
    return fd;
}

inline bool HasIPv6Loopback() {
    return BoundSocket("::1", SOCK_DGRAM).valid();
}

#define SKIP_WITHOUT_IPV6()                                 \
    if (!::tarnwick::testing::address::HasIPv6Loopback()) \
    GTEST_SKIP() << "no IPv6 loopback address ::1 on this machine (ip -6 addr show lo)"

// A blocking TCP connection from `source` to `target`:`port`; invalid on failure, with
// the errno in `error`.
inline UniqueFd ConnectFrom(const char* source, const char* target, int port, int& error) {
    UniqueFd fd = BoundSocket(source, SOCK_STREAM);
    SocketAddress to = At(target, port);
    error = fd.valid() && ::connect(fd.get(), to.get(), to.length()) == 0 ? 0 : errno;
    return error == 0 ? std::move(fd) : UniqueFd();
}

inline bool Readable(int fd, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
}

// A UDP socket on one loopback address. receive() gives the next datagram that comes
// within `timeout`, and its sender.
class DatagramPeer {
public:
    explicit DatagramPeer(const char* ip) : fd_(BoundSocket(ip, SOCK_DGRAM)) {}

    int port() const { return SocketAddress::LocalOf(fd_.get()).port(); }

    void sendTo(const char* ip, int port, const std::string& data) const {
        SocketAddress to = At(ip, port);
        ::sendto(fd_.get(), data.data(), data.size(), 0, to.get(), to.length());
    }

    std::optional<std::pair<std::string, std::string>> receive(
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        char buffer[2048];
        SocketAddress sender;
        socklen_t length = SocketAddress::CAPACITY;
        ssize_t n = Readable(fd_.get(), timeout)
                        ? ::recvfrom(fd_.get(), buffer, sizeof buffer, 0, sender.get(), &length)
                        : -1;
        sender.setLength(length);
        if (n < 0) {
            return std::nullopt;
        }
        return std::make_pair(std::string(buffer, static_cast<std::size_t>(n)), sender.toString());
    }

private:
    UniqueFd fd_;
};

}  // namespace tarnwick::testing::address
