#include "engine/udp/CSocketUDP.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

namespace tarnwick {

namespace {

// Asks for `wanted` bytes of receive buffer: beyond net.core.rmem_max where the process
// may (SO_RCVBUFFORCE needs CAP_NET_ADMIN), else as much as that maximum allows. The
// system doubles the figure for its own bookkeeping.
void EnlargeReceiveBuffer(int fd, int wanted) {
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    }
}

}  // namespace

long CSocketUDP::ReceiveFrom(void* data, std::size_t length, SocketAddress& sender) {
    if (!isOpen()) {
        return -EBADF;
    }
    ssize_t result;
    do {
        socklen_t senderLength = SocketAddress::CAPACITY;
        // MSG_TRUNC: the result is the datagram's full length, so truncation shows.
        result = ::recvfrom(handle(), data, length, MSG_DONTWAIT | MSG_TRUNC, sender.get(),
                            &senderLength);
        sender.setLength(senderLength);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        long error = errno == EWOULDBLOCK ? -EAGAIN : -errno;
        noteRead(error, length);  // nothing waiting: the next datagram brings a notice
        return error;
    }
    if (static_cast<std::size_t>(result) > length) {
        return -EMSGSIZE;
    }
    return static_cast<long>(result);
}

long CSocketUDP::SendTo(const void* data, std::size_t length, const SocketAddress& target) {
    if (!isOpen()) {
        return -EBADF;
    }
    ssize_t result;
    do {
        result = ::sendto(handle(), data, length, MSG_NOSIGNAL | MSG_DONTWAIT, target.get(),
                          target.length());
    } while (result < 0 && errno == EINTR);
    if (result >= 0) {
        return static_cast<long>(result);
    }
    return errno == EWOULDBLOCK || errno == ENOBUFS ? -EAGAIN : -errno;
}

int CSocketUDP::Open(const SocketAddress& local, bool largeBuffer) {
    int result = Create(local, SocketType::Datagram);
    if (result == 0 && largeBuffer) {
        EnlargeReceiveBuffer(handle(), RECEIVE_BUFFER_BYTES);
    }
    return result;
}

void CSocketUDP::OnReceive(int error) {
    receiver_.OnDatagram();
    Socket::OnReceive(error);
}

}  // namespace tarnwick
