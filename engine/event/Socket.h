#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "engine/event/Readiness.h"
#include "engine/event/SocketAddress.h"
#include "base/UniqueFd.h"

namespace tarnwick {

class EventLoop;

enum class SocketType { Stream, Datagram };

// An IP socket (IPv4 or IPv6) whose notices are delivered by the event loop of the thread that opened or
// attached it. Subclasses override the notices they handle; the error code passed to
// them is SO_ERROR for OnConnect and OnClose and 0 otherwise. The socket owns its
// descriptor and closes it on destruction. Operations return 0 (or a byte count) on
// success and -errno on failure, so callers and tests can tell causes apart. All of it
// runs on the owning thread only.
//
// Nothing here waits: the descriptor is non-blocking, a send takes what fits and a
// connect only starts. The caller asks for the notice it needs (readable, writable) and
// is called back through the loop; notices it has not asked for are not polled, except
// hang-ups and errors, which always come.
class Socket {
public:
    Socket() = default;
    virtual ~Socket();  // Close
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool isOpen() const { return fd_.valid(); }
    int handle() const { return fd_.get(); }
    // The local port the socket is bound to, or -errno.
    int localPort() const;

    // Opens a new socket of `family` (AF_INET or AF_INET6), registers it with this thread's
    // loop and binds it to `port` on all local addresses. A stream socket with port 0 is
    // left unbound until it connects. `reuseAddress` is for listeners only: it lets a port
    // be bound again while old connections linger, and still refuses a second live
    // listener.
    int Create(int port = 0, SocketType type = SocketType::Stream, bool reuseAddress = false,
               int family = AF_INET);
    // The same, bound to `local`, of its family. An IPv6 socket bound to "::" also serves
    // IPv4, whose peers it sees as v4-mapped addresses.
    int Create(const SocketAddress& local, SocketType type, bool reuseAddress = false);
    int Listen(int backlog);
    // Takes the next waiting connection into `target` (which must not be open), registered
    // with this thread. When the process is out of descriptors the waiting connection is
    // accepted into a spare descriptor and dropped at once, so the listener neither spins
    // nor stalls; the result is then -EMFILE or -ENFILE.
    int Accept(Socket& target);
    bool hasSpareDescriptor() const { return spare_.valid(); }

    // Starts connecting to `address`. 0 when the connection is made at once; -EINPROGRESS
    // when OnConnect will tell the result; otherwise -errno. Any time limit is the
    // caller's, as a timer.
    int Connect(const SocketAddress& address);
    bool isConnecting() const { return connecting_; }
    // Hands over as much of `length` bytes as the network stack takes now: the count taken,
    // -EAGAIN when it takes nothing, or -errno. Never raises SIGPIPE.
    long Send(const void* data, std::size_t length);
    // At most `length` bytes: more than 0 = data, 0 = the peer closed, -errno = error
    // (-EAGAIN when nothing is waiting).
    long Receive(void* data, std::size_t length);

    // Sends FIN: the peer reads the end of the data, and may go on sending.
    int ShutdownSend();
    // Turns off the coalescing of small writes (TCP_NODELAY), so each Send goes out at
    // once instead of waiting for the acknowledgement of the previous one.
    int SetNoDelay();

    // Switches notices off and closes the descriptor. Nothing when not open.
    void Close();
    // Closes with a reset (SO_LINGER 0): the peer sees the connection aborted rather than
    // a clean end of data, and whatever was not yet sent is dropped.
    void Abort();
    // Switches notices off, leaves the loop and gives the descriptor up without closing
    // it; -1 when not open.
    int Detach();
    // Takes over an open descriptor, for instance one another thread accepted, and
    // registers it with this thread. `nonBlocking` says it is in non-blocking mode
    // already (accept4 made it so), which saves asking. Fails for an invalid descriptor or
    // an open socket; on failure the descriptor stays the caller's.
    bool Attach(int fd, bool nonBlocking = false);

    // Readable notices (on by default) and writable notices (off by default). A relay turns
    // readable notices off on a side whose data it cannot pass on yet, or that has sent
    // its FIN (whose end of data would otherwise keep polling readable), and asks for
    // writable ones while it holds data for this side.
    void setReadNotices(bool wanted) { wantRead_ = wanted; }
    void setWriteNotices(bool wanted) { wantWrite_ = wanted; }
    bool wantsRead() const { return wantRead_; }
    bool wantsWrite() const { return wantWrite_ || connecting_; }

    // Called by the event loop with one poll result for the registration `serial`; delivers
    // OnConnect while connecting, else OnAccept or OnReceive, then OnSend, each only while
    // wanted and while that registration lasts (a handler may close the socket, or open it
    // again); a hang-up or error without readable data becomes OnClose. Returns true when
    // it delivered OnClose, after which the loop stops polling it.
    bool dispatch(Readiness ready, std::uint64_t serial);

protected:
    virtual void OnAccept(int error);
    virtual void OnReceive(int error);
    virtual void OnSend(int error);
    virtual void OnConnect(int error);
    virtual void OnClose(int error);

private:
    int createSocket(const SocketAddress& local, SocketType type, bool reuseAddress, bool bind);
    void enterLoop();
    void leaveLoop();
    int pendingError() const;
    int dropWaitingConnection();
    void adopt(int fd);

    UniqueFd fd_;
    UniqueFd spare_;             // listeners: kept for when descriptors run out
    EventLoop* loop_ = nullptr;  // does not own; set while registered
    bool listening_ = false;
    bool connecting_ = false;
    bool wantRead_ = true;
    bool wantWrite_ = false;
};

}  // namespace tarnwick
