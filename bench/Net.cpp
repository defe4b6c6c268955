#include "bench/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace tarnwick::bench {

std::optional<sockaddr_in> parseEndpoint(const std::string& hostPort) {
    const auto colon = hostPort.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == hostPort.size()) {
        return std::nullopt;
    }
    const std::string host = hostPort.substr(0, colon);
    const std::string port = hostPort.substr(colon + 1);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);
    return address;
}

static bool waitConnected(int fd, Millis timeout) {
    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        errno = ETIMEDOUT;
    }
    if (ready <= 0) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    errno = error;
    return error == 0;
}

UniqueFd connectTcp(const sockaddr_in& target, Millis connectTimeout, Millis ioTimeout) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return fd;
    }
    const auto* address = reinterpret_cast<const sockaddr*>(&target);
    if (::connect(fd.get(), address, sizeof target) != 0) {
        if (errno != EINPROGRESS || !waitConnected(fd.get(), connectTimeout)) {
            return UniqueFd();
        }
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    setNoDelay(fd.get());
    setIoTimeout(fd.get(), ioTimeout);
    return fd;
}

UniqueFd connectUdp(const sockaddr_in& target, Millis ioTimeout) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return fd;
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        return UniqueFd();
    }
    setIoTimeout(fd.get(), ioTimeout);
    return fd;
}

static UniqueFd bindLoopback(int type) {
    UniqueFd fd(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return fd;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return UniqueFd();
    }
    return fd;
}

UniqueFd listenTcp() {
    UniqueFd fd = bindLoopback(SOCK_STREAM);
    if (fd.valid() && ::listen(fd.get(), SOMAXCONN) != 0) {
        return UniqueFd();
    }
    return fd;
}

UniqueFd bindUdp() {
    return bindLoopback(SOCK_DGRAM);
}

int localPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void setNoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void setIoTimeout(int fd, Millis timeout) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    timeval value{};
    value.tv_sec = static_cast<time_t>(micros / 1000000);
    value.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

bool sendAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && errno == EAGAIN) {
            errno = ETIMEDOUT;
        }
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool recvExact(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::recv(fd, bytes, size, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0) {
            errno = ECONNRESET;
        } else if (got < 0 && errno == EAGAIN) {
            errno = ETIMEDOUT;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

void raiseFdLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string fdLimitProblem(std::int64_t connections) {
    // Descriptors the load generator needs besides its connections (stdio, /proc reads).
    constexpr std::int64_t kOwnDescriptors = 32;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return "getrlimit:" + errnoText();
    }
    const std::int64_t needed = connections + kOwnDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && static_cast<std::int64_t>(limit.rlim_cur) < needed) {
        return "fd_limit_too_low:limit=" + std::to_string(limit.rlim_cur) +
               ",needed=" + std::to_string(needed);
    }
    return "";
}

std::string errnoText() {
    return std::strerror(errno);
}

}  // namespace tarnwick::bench
