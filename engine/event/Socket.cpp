#include "event/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>

#include "event/EventLoop.h"

namespace tarnwick {

namespace {

sockaddr_in AnyAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

}  // namespace

Socket::~Socket() {
    Close();
}

int Socket::localPort() const {
    SocketAddress local = SocketAddress::LocalOf(fd_.get());
    return local.empty() ? -errno : local.port();
}

int Socket::Create(int port, SocketType type, bool reuseAddress) {
    if (isOpen()) {
        return -EISCONN;
    }
    if (port < 0 || port > 65535) {
        return -EINVAL;
    }
    int kind = type == SocketType::Stream ? SOCK_STREAM : SOCK_DGRAM;
    UniqueFd fd(::socket(AF_INET, kind | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return -errno;
    }
    const int on = 1;
    if (reuseAddress && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return -errno;
    }
    if (port != 0 || type == SocketType::Datagram) {
        sockaddr_in address = AnyAddress(port);
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return -errno;
        }
    }
    fd_ = std::move(fd);
    enterLoop();
    return 0;
}

int Socket::Create(const SocketAddress& local, SocketType type, bool reuseAddress) {
    if (isOpen()) {
        return -EISCONN;
    }
    int kind = type == SocketType::Stream ? SOCK_STREAM : SOCK_DGRAM;
    UniqueFd fd(::socket(local.family(), kind | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return -errno;
    }
    const int on = 1;
    const int off = 0;
    if (reuseAddress && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return -errno;
    }
    // Whatever the system's default, "::" means both families.
    if (local.family() == AF_INET6 &&
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        return -errno;
    }
    if (::bind(fd.get(), local.get(), local.length()) != 0) {
        return -errno;
    }
    fd_ = std::move(fd);
    enterLoop();
    return 0;
}

int Socket::Listen(int backlog) {
    if (!isOpen()) {
        return -EBADF;
    }
    if (::listen(fd_.get(), backlog) != 0) {
        return -errno;
    }
    listening_ = true;
    spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return 0;
}

int Socket::Accept(Socket& target) {
    if (!isOpen() || target.isOpen()) {
        return -EBADF;
    }
    int fd;
    do {
        fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int error = errno;
        if (error == EMFILE || error == ENFILE) {
            dropWaitingConnection();
        }
        return -error;
    }
    target.adopt(fd);  // accept4 made it non-blocking already
    return 0;
}

// Out of descriptors: give the spare back, take the waiting connection with it, close it
// (the client sees its connection end) and keep the spare again. The caller learns of it
// from Accept's result.
int Socket::dropWaitingConnection() {
    if (!spare_.valid()) {
        spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!spare_.valid()) {
            return -errno;
        }
    }
    spare_.reset();
    UniqueFd dropped(::accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    dropped.reset();
    spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return 0;
}

int Socket::Connect(const std::string& host, int port, std::chrono::milliseconds timeout) {
    if (!isOpen()) {
        return -EBADF;
    }
    if (port < 0 || port > 65535) {
        return -EINVAL;
    }
    sockaddr_in address = AnyAddress(port);
    if (!ResolveHostIPv4(host, address.sin_addr)) {
        return -EHOSTUNREACH;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return -errno;
    }
    for (;;) {
        int left = RemainingMs(deadline);
        if (left == 0) {
            return -ETIMEDOUT;
        }
        int ready = Poller::waitOne(fd_.get(), true, left);
        if (ready < 0) {
            return ready;
        }
        if (ready > 0) {
            return -pendingError();
        }
    }
}

long Socket::Send(const void* data, std::size_t length) {
    if (!isOpen()) {
        return -EBADF;
    }
    const char* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < length) {
        ssize_t result =
            ::send(fd_.get(), bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (result >= 0) {
            sent += static_cast<std::size_t>(result);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int ready = Poller::waitOne(fd_.get(), true, -1);
            if (ready < 0) {
                return ready;
            }
        } else if (errno != EINTR) {
            return -errno;
        }
    }
    return static_cast<long>(length);
}

long Socket::ForwardTo(Socket& to, SplicePipe& pipe, std::size_t length) {
    if (!isOpen() || !to.isOpen()) {
        return -EBADF;
    }
    if (pipe.open() != 0) {
        return CopyTo(to, length);
    }
    ssize_t moved;
    do {
        moved = ::splice(fd_.get(), nullptr, pipe.writeEnd(), nullptr, length,
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (moved < 0 && errno == EINTR);
    if (moved < 0 && errno == EINVAL) {
        return CopyTo(to, length);  // these descriptors cannot be spliced
    }
    if (moved <= 0) {
        return moved == 0 ? 0 : -errno;
    }
    return to.drainPipe(pipe, static_cast<std::size_t>(moved));
}

// Writes the `length` bytes waiting in `pipe` to this socket, waiting while it is full.
long Socket::drainPipe(SplicePipe& pipe, std::size_t length) {
    std::size_t left = length;
    while (left > 0) {
        ssize_t written = ::splice(pipe.readEnd(), nullptr, fd_.get(), nullptr, left,
                                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (written > 0) {
            left -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            int ready = Poller::waitOne(fd_.get(), true, -1);
            if (ready < 0) {
                return ready;
            }
        } else if (written < 0 && errno != EINTR) {
            return -errno;
        }
    }
    return static_cast<long>(length);
}

long Socket::CopyTo(Socket& to, std::size_t length) {
    if (!isOpen() || !to.isOpen()) {
        return -EBADF;
    }
    unsigned char buffer[COPY_BUFFER_SIZE];
    long received = Receive(buffer, std::min(length, sizeof buffer));
    if (received <= 0) {
        return received;
    }
    long sent = to.Send(buffer, static_cast<std::size_t>(received));
    return sent < 0 ? sent : received;
}

long Socket::Receive(void* data, std::size_t length) {
    if (!isOpen()) {
        return -EBADF;
    }
    ssize_t result;
    do {
        result = ::recv(fd_.get(), data, length, MSG_DONTWAIT);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -errno : static_cast<long>(result);
}

int Socket::ShutdownSend() {
    if (!isOpen()) {
        return -EBADF;
    }
    return ::shutdown(fd_.get(), SHUT_WR) == 0 ? 0 : -errno;
}

int Socket::SetNoDelay() {
    const int on = 1;
    return ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : -errno;
}

void Socket::Close() {
    if (!isOpen()) {
        return;
    }
    leaveLoop();
    listening_ = false;
    spare_.reset();
    fd_.reset();
}

int Socket::Detach() {
    if (!isOpen()) {
        return -1;
    }
    leaveLoop();
    listening_ = false;
    spare_.reset();
    return fd_.release();
}

bool Socket::Attach(int fd) {
    if (isOpen() || fd < 0) {
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    adopt(fd);
    return true;
}

// Takes over a valid non-blocking descriptor while closed.
void Socket::adopt(int fd) {
    fd_.reset(fd);
    enterLoop();
}

void Socket::setReadNotices(bool wanted) {
    if (loop_ != nullptr) {
        loop_->setReadInterest(fd_.get(), wanted);
    }
}

bool Socket::dispatch(const Readiness& ready) {
    if (ready.readable) {
        if (listening_) {
            OnAccept(0);
        } else {
            OnReceive(0);
        }
        return false;
    }
    OnClose(pendingError());
    return true;
}

void Socket::OnAccept(int) {}
void Socket::OnReceive(int) {}
void Socket::OnClose(int) {}

void Socket::enterLoop() {
    loop_ = EventLoop::current();
    if (loop_ != nullptr) {
        loop_->addSocket(*this, fd_.get());
    }
}

void Socket::leaveLoop() {
    if (loop_ != nullptr) {
        loop_->removeSocket(fd_.get());
        loop_ = nullptr;
    }
}

int Socket::pendingError() const {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

// inet_aton takes the short dotted forms ("127.1") as inet_addr does.
bool ResolveHostIPv4(const std::string& host, in_addr& address) {
    if (::inet_aton(host.c_str(), &address) != 0) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

}  // namespace tarnwick
