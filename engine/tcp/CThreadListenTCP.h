#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/AllowedClients.h"
#include "engine/CThreadPort.h"
#include "engine/WorkerEntry.h"
#include "engine/routing/CaptureLog.h"
#include "engine/routing/RoutingTable.h"
#include "engine/tcp/CSocketListenTCP.h"

namespace tarnwick {

// The worker of one running TCP port: it listens on `listenPort` at `listenAddress`, hands
// every accepted connection from an allowed client to a session thread of its own
// (CThreadTCP), resets the others at once, and ends all sessions when the port is stopped
// or restarted.
//
// Starts, stops and restarts as every port worker does (CThreadPort): the port is open
// once it listens, and every session is ended (or waited for SESSION_WAIT_MS) before a
// stop or restart is answered.
class CThreadListenTCP : public CThreadPort {
public:
    // Connections the kernel completes and holds until they are accepted. A queue of 5
    // overflows as soon as a handful of clients connect at once, and every connection it
    // drops waits a whole second for its SYN to be sent again; the system's maximum
    // (net.core.somaxconn caps it) lets a burst wait for the listener instead.
    static constexpr int LISTEN_BACKLOG = SOMAXCONN;
    // Sessions end at once when asked; this is only how long a session that does not answer
    // is waited for.
    static constexpr std::chrono::milliseconds SESSION_WAIT_MS{25000};
    // When descriptors run out and not even the spare one is left, accepting pauses this
    // long instead of spinning on a connection it cannot take.
    static constexpr std::chrono::milliseconds ACCEPT_RETRY_MS{100};

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
    // Closes the listening socket and ends every session.
    void ClosePort() override;

private:
    void StopSessions();
    std::vector<WorkerEntry>::iterator FindSessionSlot(ThreadId id);
    void AddSession(ThreadId id, const ThreadHandle& handle);
    void RemoveSession(ThreadId id);
    bool Admits(const Socket& accepted) const;
    void StartSession(UniqueFd accepted);
    void PauseAccepting();

    CSocketListenTCP listenSocket;
    AllowedClients allowedClients;  // from the port copy, when listening starts
    // The port copy with its rules read, once listening starts; every session shares it.
    std::shared_ptr<const RoutingTable> routing;
    std::vector<WorkerEntry> sessions;  // in order of registration, which is by id
    TimerId acceptRetryTimer = 0;
};

}  // namespace tarnwick
