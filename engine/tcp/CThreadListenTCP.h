#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <unordered_set>

#include "engine/AllowedClients.h"
#include "engine/CThreadPort.h"
#include "engine/routing/CaptureLog.h"
#include "engine/routing/RoutingTable.h"
#include "engine/tcp/CSocketListenTCP.h"
#include "engine/tcp/SessionGroup.h"

namespace tarnwick {

// The worker of one running TCP port: it listens on `listenPort` at `listenAddress`, hands
// every accepted connection from an allowed client to a session of its own (CThreadTCP),
// placed on the next event loop in turn, resets the others at once, and ends all sessions
// when the port is stopped or restarted.
//
// Starts, stops and restarts as every port worker does (CThreadPort): the port is open
// once it listens. To end, it closes its socket (or keeps it for the next worker, on a
// restart), asks every session to end and answers once the last one has ended (its
// SessionGroup tells), or after SESSION_WAIT_MS at most; its loop serves everything else
// meanwhile.
class CThreadListenTCP : public CThreadPort {
public:
    // Connections the kernel completes and holds until they are accepted. A queue of 5
    // overflows as soon as a handful of clients connect at once, and every connection it
    // drops waits a whole second for its SYN to be sent again; the system's maximum
    // (net.core.somaxconn caps it) lets a burst wait for the listener instead. It also
    // holds the clients that arrive while a restart hands the socket on.
    static constexpr int LISTEN_BACKLOG = SOMAXCONN;
    // Sessions end at once when asked; this is only how long a stopping listener waits for
    // sessions that have not said they ended.
    static constexpr std::chrono::milliseconds SESSION_WAIT_MS{25000};
    // When descriptors run out and not even the spare one is left, accepting pauses this
    // long instead of spinning on a connection it cannot take.
    static constexpr std::chrono::milliseconds ACCEPT_RETRY_MS{100};
    // Connections accepted per accept notice, so that a burst of clients does not hold up
    // the other workers of the loop.
    static constexpr int ACCEPTS_PER_NOTICE = 32;

    // `captureLog` receives the first-packet dumps of all sessions; it must not be null.
    explicit CThreadListenTCP(std::shared_ptr<CaptureLog> captureLog);
    ~CThreadListenTCP() override;

    // The listening socket's accept notice.
    void OnAccept();

protected:
    void onMessage(const Message& message) override;
    void onTimer(TimerId id) override;
    // Listens on the copy's address and port.
    int OpenPort() override;
    // Closes the listening socket (or keeps it for the next worker) and ends every session.
    bool ClosePort(bool handOver) override;

private:
    bool AcceptOne();
    bool Admits(const SocketAddress& client) const;
    void Refused(const SocketAddress& client);
    void StartSession(UniqueFd accepted);
    void SessionEnded(ThreadId id);
    void StopSessions();
    void PauseAccepting();
    void StopTimer(TimerId& timer);

    CSocketListenTCP listenSocket;
    AllowedClients allowedClients;  // from the port copy, when listening starts
    // The same, for the sessions to check the clients that PROXY headers name; null when
    // the port takes no headers or admits everyone.
    std::shared_ptr<const AllowedClients> headerSources;
    // The port copy with its rules read, once listening starts; every session shares it.
    std::shared_ptr<const RoutingTable> routing;
    std::unordered_set<ThreadId> sessions;  // started and not yet known to have ended
    std::shared_ptr<SessionGroup> group;    // shared with every session it starts
    TimerId acceptRetryTimer = 0;
    TimerId sessionWaitTimer = 0;  // while ending: the longest wait for the sessions
    bool endingSessions = false;
};

}  // namespace tarnwick
