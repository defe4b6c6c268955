#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "base/UniqueFd.h"
#include "engine/loop/IoHandler.h"
#include "engine/loop/IoWatch.h"
#include "engine/loop/Readiness.h"
#include "engine/socket/SocketAddress.h"

namespace tarnwick {

enum class SocketType { Stream, Datagram };

// An IP socket (IPv4 or IPv6) whose notices are delivered by the event loop of the thread
// that opened or attached it (IoWatch), on behalf of the worker being served then.
// Subclasses override the notices they handle; the error code passed to them is SO_ERROR
// for OnConnect and OnClose and 0 otherwise. The socket owns its descriptor and closes it
// on destruction. Operations return 0 (or a byte count) on success and -errno on failure,
// so callers and tests can tell causes apart. All of it runs on the owning loop only.
//
// Nothing here waits: the descriptor is non-blocking, a send takes what fits and a
// connect only starts. The caller asks for the notice it needs (readable, writable) and
// is called back through the loop; notices it has not asked for are not delivered, except
// hang-ups and errors, which always come. The loop learns of readiness once per change,
// so every read and send here tells it when it found the socket used up; a caller that
// reads or writes the descriptor itself (splice) tells it through noteRead and noteWrite.
class Socket : private IoHandler {
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
    // The same, handing the connection over as a bare non-blocking descriptor, registered
    // nowhere (for a worker on another loop to attach), with the peer's address when
    // `peer` is given.
    int Accept(UniqueFd& accepted, SocketAddress* peer = nullptr);
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
    // already (accept4 made it so), which saves asking; `type` is what it is. Fails for an
    // invalid descriptor or an open socket; on failure the descriptor stays the caller's.
    bool Attach(int fd, bool nonBlocking = false, SocketType type = SocketType::Stream);

    // Readable notices (on by default) and writable notices (off by default). A relay turns
    // readable notices off on a side whose data it cannot pass on yet, or that has sent
    // its FIN (whose end of data would otherwise keep it readable), and asks for writable
    // ones while it holds data for this side. Turning notices on for a socket that is
    // already readable (or writable) brings the notice at the loop's next turn.
    void setReadNotices(bool wanted);
    void setWriteNotices(bool wanted);
    bool wantsRead() const { return wantRead_; }
    bool wantsWrite() const { return wantWrite_ || connecting_; }

    // What a caller that reads or writes the descriptor itself (splice) got: `result` the
    // count moved or -errno, of `asked` bytes; a stream read or a send that took less than
    // asked found the socket used up. With `asked` 0 only -EAGAIN says so (a splice may
    // stop short at the pipe's slots). Tells the loop when the socket is used up.
    void noteRead(long result, std::size_t asked);
    void noteWrite(long result, std::size_t asked);

    // The loop's delivery, also for tests that poll by hand: OnConnect while connecting,
    // else OnAccept or OnReceive, then OnSend, each only while wanted and while this watch
    // lasts (a handler may close the socket, or open it again); a hang-up or error without
    // readable data becomes OnClose. Returns true when it delivered OnClose, after which
    // the loop delivers nothing more.
    bool onIo(Readiness ready) override;

protected:
    virtual void OnAccept(int error);
    virtual void OnReceive(int error);
    virtual void OnSend(int error);
    virtual void OnConnect(int error);
    virtual void OnClose(int error);

private:
    int createSocket(const SocketAddress& local, SocketType type, bool reuseAddress, bool bind);
    int enterLoop();
    void leaveLoop(bool closing);
    void tellInterest();
    int pendingError() const;
    int connectError() const;
    int acceptOne(UniqueFd& accepted, SocketAddress* peer);
    int dropWaitingConnection();
    int adopt(int fd);

    UniqueFd fd_;
    UniqueFd spare_;  // listeners: kept for when descriptors run out
    IoWatch watch_;   // while registered with a loop
    bool stream_ = true;
    bool listening_ = false;
    bool connecting_ = false;
    bool wantRead_ = true;
    bool wantWrite_ = false;
};

}  // namespace tarnwick
