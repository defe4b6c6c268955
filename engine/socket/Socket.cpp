#include "engine/socket/Socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <utility>

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
    stream_ = type == SocketType::Stream;
    int watched = enterLoop();
    if (watched != 0) {
        fd_.reset();
    }
    return watched;
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
    UniqueFd accepted;
    int result = acceptOne(accepted, nullptr);
    if (result == 0) {
        result = target.adopt(accepted.get());  // non-blocking already
    }
    if (result == 0) {
        accepted.release();  // the target owns it; otherwise it is closed here
    }
    return result;
}

int Socket::Accept(UniqueFd& accepted, SocketAddress* peer) {
    if (!isOpen()) {
        return -EBADF;
    }
    return acceptOne(accepted, peer);
}

int Socket::acceptOne(UniqueFd& accepted, SocketAddress* peer) {
    int fd;
    do {
        socklen_t length = SocketAddress::CAPACITY;
        fd = ::accept4(fd_.get(), peer != nullptr ? peer->get() : nullptr,
                       peer != nullptr ? &length : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0 && peer != nullptr) {
            peer->setLength(length);
        }
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            watch_.readDrained();
            return -EAGAIN;
        }
        if (error == EMFILE || error == ENFILE) {
            dropWaitingConnection();
        }
        return -error;
    }
    accepted.reset(fd);
    return 0;
}

// Out of descriptors: give the spare back, take the waiting connection with it, close it
// (the client sees its connection end) and keep the spare again. The caller learns of it
// from Accept's result. An accept without a descriptor to spare fails whether or not a
// connection waits; only this one tells when none is left, so that the loop stops telling
// of a queue that is empty.
int Socket::dropWaitingConnection() {
    if (!spare_.valid()) {
        spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!spare_.valid()) {
            return -errno;
        }
    }
    spare_.reset();
    UniqueFd dropped(::accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!dropped.valid() && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        watch_.readDrained();
    }
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
    connecting_ = true;  // writable, or a failure, ends it: see onIo
    tellInterest();
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
    long result = sent < 0 ? (errno == EWOULDBLOCK ? -EAGAIN : -errno) : static_cast<long>(sent);
    noteWrite(result, length);
    return result;
}

long Socket::Receive(void* data, std::size_t length) {
    if (!isOpen()) {
        return -EBADF;
    }
    ssize_t received;
    do {
        received = ::recv(fd_.get(), data, length, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    long result =
        received < 0 ? (errno == EWOULDBLOCK ? -EAGAIN : -errno) : static_cast<long>(received);
    noteRead(result, length);
    return result;
}

// A stream read that took less than asked found the socket empty, unless the peer has
// ended its data, whose end is still to be read (the loop knows which). A datagram socket
// says nothing by a short read: another datagram may be waiting.
void Socket::noteRead(long result, std::size_t asked) {
    if (result == -EAGAIN) {
        watch_.readDrained();
    } else if (stream_ && result > 0 && static_cast<std::size_t>(result) < asked) {
        watch_.readDrained(true);  // asked 0: never
    }
}

// A send that took less than asked filled the socket; the kernel reports it writable
// again once it has room.
void Socket::noteWrite(long result, std::size_t asked) {
    if (result == -EAGAIN || (result >= 0 && static_cast<std::size_t>(result) < asked)) {
        watch_.writeBlocked();  // asked 0: only when nothing could be sent
    }
}

void Socket::setReadNotices(bool wanted) {
    if (wantRead_ != wanted) {
        wantRead_ = wanted;
        tellInterest();
    }
}

void Socket::setWriteNotices(bool wanted) {
    if (wantWrite_ != wanted) {
        wantWrite_ = wanted;
        tellInterest();
    }
}

void Socket::tellInterest() {
    watch_.setInterest(wantRead_, wantsWrite());
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
    leaveLoop(true);
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
    leaveLoop(false);
    spare_.reset();
    return fd_.release();
}

bool Socket::Attach(int fd, bool nonBlocking, SocketType type) {
    if (isOpen() || fd < 0) {
        return false;
    }
    if (!nonBlocking) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0) {
            return false;
        }
        if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            return false;
        }
    }
    stream_ = type == SocketType::Stream;
    return adopt(fd) == 0;
}

// Takes over a valid non-blocking descriptor while closed. When the loop cannot watch it,
// the descriptor stays the caller's.
int Socket::adopt(int fd) {
    fd_.reset(fd);
    int result = enterLoop();
    if (result != 0) {
        fd_.release();
    }
    return result;
}

bool Socket::onIo(Readiness ready) {
    const std::uint64_t serial = watch_.serial();
    auto stillPolled = [&] { return serial == 0 || watch_.serial() == serial; };
    if (connecting_) {
        if (ready.hangup || ready.error) {
            connecting_ = false;
            tellInterest();
            OnConnect(connectError());
        } else if (ready.writable) {
            connecting_ = false;
            tellInterest();
            OnConnect(0);
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
int Socket::enterLoop() {
    wantRead_ = true;
    wantWrite_ = false;
    return watch_.start(fd_.get(), static_cast<IoHandler&>(*this), true, false);
}

void Socket::leaveLoop(bool closing) {
    watch_.stop(closing);
    listening_ = false;
    connecting_ = false;
}

// Why a connect that reports a hang-up or an error failed. A connect that failed and one
// that was made and then ended by its peer look alike to the poll set; the second has its
// data, or its FIN, waiting ahead of its end, which a peek finds without taking the error
// that the caller's reads are to meet after the data: 0 then, the connection was made.
int Socket::connectError() const {
    char byte;
    ssize_t peeked;
    do {
        peeked = ::recv(fd_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (peeked < 0 && errno == EINTR);
    if (peeked >= 0) {
        return 0;
    }
    int error = errno == EAGAIN || errno == EWOULDBLOCK ? pendingError() : errno;
    return error != 0 ? error : ECONNREFUSED;
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
