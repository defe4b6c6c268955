#include "engine/event/Socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "engine/event/EventLoop.h"

namespace tarnwick {

Socket::~Socket() {
    Close();
}

int Socket::localPort() const {
    SocketAddress local = SocketAddress::LocalOf(fd_.get());
    return local.empty() ? -errno : local.port();
}

int Socket::Create(int port, SocketType type, bool reuseAddress, int family) {
    auto local = SocketAddress::ForListening(family == AF_INET6 ? "::" : "", port);
    if (!local) {
        return -EINVAL;
    }
    return createSocket(*local, type, reuseAddress, port != 0 || type == SocketType::Datagram);
}

int Socket::Create(const SocketAddress& local, SocketType type, bool reuseAddress) {
    return createSocket(local, type, reuseAddress, true);
}

// A socket of `local`'s family, bound to it when `bind` is set. An IPv6 socket also
// serves IPv4 whatever the system's default, so that "::" means both families.
int Socket::createSocket(const SocketAddress& local, SocketType type, bool reuseAddress,
                         bool bind) {
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
    if (local.family() == AF_INET6 &&
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        return -errno;
    }
    if (bind && ::bind(fd.get(), local.get(), local.length()) != 0) {
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

int Socket::Connect(const SocketAddress& address) {
    if (!isOpen()) {
        return -EBADF;
    }
    if (::connect(fd_.get(), address.get(), address.length()) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return -errno;
    }
    connecting_ = true;  // writable, or a failure, ends it: see dispatch
    return -EINPROGRESS;
}

long Socket::Send(const void* data, std::size_t length) {
    if (!isOpen()) {
        return -EBADF;
    }
    ssize_t sent;
    do {
        sent = ::send(fd_.get(), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    }
    return static_cast<long>(sent);
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
    spare_.reset();
    fd_.reset();
}

void Socket::Abort() {
    if (isOpen()) {
        const linger reset{1, 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    Close();
}

int Socket::Detach() {
    if (!isOpen()) {
        return -1;
    }
    leaveLoop();
    spare_.reset();
    return fd_.release();
}

bool Socket::Attach(int fd, bool nonBlocking) {
    if (isOpen() || fd < 0) {
        return false;
    }
    if (nonBlocking) {
        adopt(fd);
        return true;
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

bool Socket::dispatch(Readiness ready, std::uint64_t serial) {
    const int polled = fd_.get();
    auto stillPolled = [&] { return loop_ != nullptr && loop_->holds(polled, serial); };
    if (connecting_) {
        if (ready.hangup || ready.error) {
            connecting_ = false;
            int error = pendingError();
            OnConnect(error != 0 ? error : ECONNREFUSED);
        } else if (ready.writable) {
            connecting_ = false;
            OnConnect(0);  // a failed connect also reports an error or a hang-up
        }
        return false;
    }
    ready.readable = ready.readable && wantRead_;
    if (ready.readable) {
        if (listening_) {
            OnAccept(0);
        } else {
            OnReceive(0);
        }
        if (!stillPolled()) {
            return false;
        }
    }
    if (ready.writable && wantWrite_) {
        OnSend(0);
        if (!stillPolled()) {
            return false;
        }
    }
    if (!ready.readable && (ready.hangup || ready.error)) {
        OnClose(pendingError());
        return stillPolled();
    }
    return false;
}

void Socket::OnAccept(int) {}
void Socket::OnReceive(int) {}
void Socket::OnSend(int) {}
void Socket::OnConnect(int) {}
void Socket::OnClose(int) {}

// A newly registered socket wants readable notices only, as a fresh one should.
void Socket::enterLoop() {
    wantRead_ = true;
    wantWrite_ = false;
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
    listening_ = false;
    connecting_ = false;
}

int Socket::pendingError() const {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

}  // namespace tarnwick
