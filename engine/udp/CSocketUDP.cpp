#include "udp/CSocketUDP.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

#include "event/Poller.h"
#include "udp/CThreadUDP.h"

namespace tarnwick {

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
        return -errno;
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
    for (;;) {
        ssize_t result = ::sendto(handle(), data, length, MSG_NOSIGNAL | MSG_DONTWAIT,
                                  target.get(), target.length());
        if (result >= 0) {
            return static_cast<long>(result);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int ready = Poller::waitOne(handle(), true, -1);
            if (ready < 0) {
                return ready;
            }
        } else if (errno != EINTR) {
            return -errno;
        }
    }
}

void CSocketUDP::OnReceive(int error) {
    owner_.OnDatagram();
    Socket::OnReceive(error);
}

}  // namespace tarnwick
