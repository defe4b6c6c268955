#pragma once

#include <cstddef>
#include <string>

#include "engine/socket/Socket.h"
#include "engine/udp/DatagramReceiver.h"

namespace tarnwick {

// A datagram socket of the UDP relay: the port's own, bound to its listen address and
// port, where clients send; or an association's, bound to the listen address with a port
// of the system's choosing, which sends one client's datagrams to the destination and
// takes the replies. Its readable notices go to `receiver`. Adds the datagram operations,
// with the peer given as a socket address of the socket's family. Like every socket of
// the engine it runs on its owner's thread only.
class CSocketUDP : public Socket {
public:
    explicit CSocketUDP(DatagramReceiver& receiver) : receiver_(receiver) {}

    // What the socket asks for as its receive buffer. A burst of datagrams that arrives
    // faster than the relay takes them waits there, and what does not fit is lost before
    // the relay sees it; the memory is only used while datagrams wait.
    static constexpr int RECEIVE_BUFFER_BYTES = 16 * 1024 * 1024;

    // Binds a new datagram socket to `local`, with a receive buffer of RECEIVE_BUFFER_BYTES,
    // or as much as the system allows, when `largeBuffer`. No address reuse: a port that
    // another datagram socket holds fails with -EADDRINUSE.
    int Open(const SocketAddress& local, bool largeBuffer = true);

    // Takes one datagram into `data` and fills `sender`. Returns its length (0 for an empty
    // datagram); -EMSGSIZE when it was longer than `length`, in which case `data` holds its
    // first `length` bytes and `sender` is filled all the same; -EAGAIN when none is waiting;
    // -errno on other errors.
    long ReceiveFrom(void* data, std::size_t length, SocketAddress& sender);

    // Sends one datagram to `target` if the socket can take it now. Returns `length`,
    // -EAGAIN when it would have to wait (the datagram is not sent), or -errno.
    long SendTo(const void* data, std::size_t length, const SocketAddress& target);

protected:
    void OnReceive(int error) override;

private:
    DatagramReceiver& receiver_;  // holds this socket
};

}  // namespace tarnwick
