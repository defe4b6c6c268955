#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "AllowedClients.h"
#include "ForwardingPort.h"
#include "PortCounters.h"
#include "WorkerEntry.h"
#include "event/WorkerThread.h"
#include "routing/CaptureLog.h"
#include "routing/RoutingTable.h"
#include "tcp/CSocketListenTCP.h"

namespace tarnwick {

// The worker of one running TCP port: it listens on `listenPort` at `listenAddress`, hands
// every accepted connection from an allowed client to a session thread of its own
// (CThreadTCP), resets the others at once, and ends all sessions when the port is stopped
// or restarted.
//
// Notices to the port's `ownerWindow`: WM_PORT_STARTED (wParam = own id, handle = own
// handle) once listening; otherwise WM_PORT_STOP (own id, lParam the errno) when it could
// not listen. On
// WM_PORT_STOP (wParam 0) it shuts down and answers WM_PORT_STOP; with wParam 1 it
// answers nothing; on WM_PORT_RESTART it always answers WM_PORT_RESTART. Every session is
// ended (or waited for SESSION_WAIT_MS) before the answer, and the thread ends right after.
class CThreadListenTCP : public WorkerThread {
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

    // Before resume: the listener's own deep copy of the port, carrying `ownerWindow`.
    void setPortCopy(std::unique_ptr<ForwardingPort> portCopy);
    // Before resume: the port's counters, shared with every session (never null).
    void setCounters(std::shared_ptr<PortCounters> counters) { this->counters = std::move(counters); }

    // The listening socket's accept notice.
    void OnAccept();

protected:
    void onMessage(const Message& message) override;
    void onTimer(TimerId id) override;

private:
    void OnStart();
    void OnRestart();
    // `error`: the errno that kept the port from listening, sent as the notice's lParam.
    void OnStop(std::uintptr_t quietly, int error = 0);
    MailboxId ShutDown();
    void StopSessions();
    std::vector<WorkerEntry>::iterator FindSessionSlot(ThreadId id);
    void AddSession(ThreadId id, const ThreadHandle& handle);
    void RemoveSession(ThreadId id);
    bool Admits(const Socket& accepted) const;
    void StartSession(UniqueFd accepted);
    void PauseAccepting();
    void FreePortCopy();

    CSocketListenTCP listenSocket;
    AllowedClients allowedClients;  // from the port copy, when listening starts
    // The port copy with its rules read, once listening starts; every session shares it.
    std::shared_ptr<const RoutingTable> routing;
    std::vector<WorkerEntry> sessions;  // in order of registration, which is by id
    std::shared_ptr<CaptureLog> captureLog;
    std::shared_ptr<PortCounters> counters = std::make_shared<PortCounters>();
    TimerId acceptRetryTimer = 0;
};

}  // namespace tarnwick
