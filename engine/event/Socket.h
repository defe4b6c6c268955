#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "event/Poller.h"
#include "event/SocketAddress.h"
#include "event/SplicePipe.h"
#include "event/UniqueFd.h"

namespace tarnwick {

class EventLoop;

// `host` as a dotted IPv4 address if it is one, else the first IPv4 address of the name;
// false when the name cannot be resolved.
bool ResolveHostIPv4(const std::string& host, in_addr& address);

enum class SocketType { Stream, Datagram };

// How long a blocking Connect waits for the destination before giving up.
inline constexpr std::chrono::milliseconds CONNECT_TIMEOUT{21000};

// An IP socket (IPv4 or IPv6) whose notices are delivered by the event loop of the thread
// that opened or attached it. Subclasses override the notices they handle; the error code
// passed to them is SO_ERROR for OnClose and 0 otherwise. The socket owns its descriptor
// and closes it on destruction. Operations return 0 (or a byte count) on success and
// -errno on failure, so callers and tests can tell causes apart. All of it runs on the
// owning thread only.
//
// The descriptor is always non-blocking; Connect and Send block the calling thread by
// polling this one socket, and while they wait the thread handles no other event.
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

    // Opens a new socket, registers it with this thread's loop and binds it to `port` on
    // all local addresses. A stream socket with port 0 is left unbound until it connects.
    // `reuseAddress` is for listeners only: it lets a port be bound again while old
    // connections linger, and still refuses a second live listener.
    int Create(int port = 0, SocketType type = SocketType::Stream, bool reuseAddress = false);
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

    // Connects to `host` (a dotted IPv4 address, else a name whose first IPv4 address is
    // used) and waits until the connection is made, fails or the time-out passes
    // (-ETIMEDOUT). A name that cannot be resolved gives -EHOSTUNREACH.
    int Connect(const std::string& host, int port,
                std::chrono::milliseconds timeout = CONNECT_TIMEOUT);
    // Waits until all `length` bytes are handed to the network stack; returns `length` or
    // -errno. Never raises SIGPIPE.
    long Send(const void* data, std::size_t length);
    // At most `length` bytes: more than 0 = data, 0 = the peer closed, -errno = error
    // (-EAGAIN when nothing is waiting).
    long Receive(void* data, std::size_t length);
    // Moves what is waiting on this socket, at most `length` bytes, to `to` through
    // `pipe` inside the kernel, and waits until `to` has taken all of it, as Send does.
    // Returns the bytes moved, 0 when this socket's peer has ended its data, -EAGAIN when
    // nothing was waiting, or -errno. Falls back to Receive and Send where the kernel
    // cannot splice these sockets.
    long ForwardTo(Socket& to, SplicePipe& pipe, std::size_t length);
    // The same through a buffer on the stack, at most COPY_BUFFER_SIZE bytes: for small
    // pieces two plain calls are cheaper than splicing through a pipe, which need not be
    // opened at all. The buffer is kept small because every page of stack that a relay
    // thread touches stays with it while its connection is idle.
    long CopyTo(Socket& to, std::size_t length);
    static constexpr std::size_t COPY_BUFFER_SIZE = 1024;

    // Sends FIN: the peer reads the end of the data, and may go on sending.
    int ShutdownSend();
    // Turns off the coalescing of small writes (TCP_NODELAY), so each Send goes out at
    // once instead of waiting for the acknowledgement of the previous one.
    int SetNoDelay();

    // Switches notices off and closes the descriptor. Nothing when not open.
    void Close();
    // Switches notices off, leaves the loop and gives the descriptor up without closing
    // it; -1 when not open.
    int Detach();
    // Takes over an open descriptor, for instance one another thread accepted, and
    // registers it with this thread. Fails for an invalid descriptor or an open socket;
    // on failure the descriptor stays the caller's.
    bool Attach(int fd);

    // Readability notices on or off (hang-ups and errors are always delivered). A relay
    // turns them off on a side that has sent its FIN, whose end of data would otherwise
    // keep polling readable.
    void setReadNotices(bool wanted);

    // Called by the event loop with one poll result; returns true when it delivered
    // OnClose, after which the loop stops polling the socket.
    bool dispatch(const Readiness& ready);

protected:
    virtual void OnAccept(int error);
    virtual void OnReceive(int error);
    virtual void OnClose(int error);

private:
    void enterLoop();
    void leaveLoop();
    int pendingError() const;
    int dropWaitingConnection();
    void adopt(int fd);
    long drainPipe(SplicePipe& pipe, std::size_t length);

    UniqueFd fd_;
    UniqueFd spare_;             // listeners: kept for when descriptors run out
    EventLoop* loop_ = nullptr;  // does not own; set while registered
    bool listening_ = false;
};

}  // namespace tarnwick
