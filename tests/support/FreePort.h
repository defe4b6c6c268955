#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarnwick::testing {

// A port of `type` (SOCK_STREAM or SOCK_DGRAM) that the system found free on every
// address, held bound (address reuse on, neither listening nor reading) until release()
// or destruction, so that nobody else takes it until a listener of ours has bound it too.
// A TCP connect to it is refused while it is held.
class ReservedPort {
public:
    explicit ReservedPort(int type = SOCK_STREAM) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~ReservedPort() { release(); }
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    int port() const { return port_; }
    void release() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A port that was free a moment ago, for a listener that the code under test opens at once.
inline int FreePort(int type = SOCK_STREAM) {
    return ReservedPort(type).port();
}

}  // namespace tarnwick::testing
