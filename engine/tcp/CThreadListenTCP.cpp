#include "engine/tcp/CThreadListenTCP.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "engine/event/EngineMessages.h"
#include "engine/event/ThreadRegistry.h"
#include "engine/tcp/CThreadTCP.h"

namespace tarnwick {

namespace {

// Ends a connection with a reset instead of a FIN: the client learns at once that it was
// not admitted, and no session, destination or first-data wait is ever started for it.
void RefuseWithReset(Socket& accepted) {
    const linger resetOnClose{1, 0};
    ::setsockopt(accepted.handle(), SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    accepted.Close();
}

}  // namespace

CThreadListenTCP::CThreadListenTCP(std::shared_ptr<CaptureLog> captureLog)
    : CThreadPort(std::move(captureLog)), listenSocket(*this) {}

CThreadListenTCP::~CThreadListenTCP() = default;

void CThreadListenTCP::onMessage(const Message& message) {
    switch (message.message) {
        case WM_SESSION_STARTED:
            AddSession(static_cast<ThreadId>(message.wParam), message.handle);
            break;
        case WM_SESSION_ENDED:
            RemoveSession(static_cast<ThreadId>(message.wParam));
            break;
        default:
            CThreadPort::onMessage(message);
            break;
    }
}

int CThreadListenTCP::OpenPort() {
    auto local = SocketAddress::ForListening(portCopy->listenAddress, portCopy->listenPort);
    int result = local ? listenSocket.Create(*local, SocketType::Stream, true) : -EINVAL;
    allowedClients = AllowedClients(portCopy->allowFrom);
    if (result == 0) {
        listenSocket.SetNoDelay();  // inherited by every accepted connection
        result = listenSocket.Listen(LISTEN_BACKLOG);
    }
    if (result == 0) {
        routing = std::make_shared<const RoutingTable>(portCopy);
    }
    return result;
}

void CThreadListenTCP::OnAccept() {
    Socket accepted;
    int result = listenSocket.Accept(accepted);
    if (result == 0 && !Admits(accepted)) {
        RefuseWithReset(accepted);
    } else if (result == 0) {
        StartSession(UniqueFd(accepted.Detach()));
    } else if ((result == -EMFILE || result == -ENFILE) && !listenSocket.hasSpareDescriptor()) {
        PauseAccepting();
    }
    // Any other failure (the client gave up before it was accepted) leaves nothing to serve.
}

// Only a port with allowed clients needs to know who connected.
bool CThreadListenTCP::Admits(const Socket& accepted) const {
    return allowedClients.admitsEveryone() ||
           allowedClients.admits(SocketAddress::PeerOf(accepted.handle()));
}

// The session is registered here, when it is started, and not only when its own
// WM_SESSION_STARTED arrives: a stop that comes in between then still ends it.
void CThreadListenTCP::StartSession(UniqueFd accepted) {
    auto session = std::make_unique<CThreadTCP>(threadId(), routing, std::move(accepted),
                                                captureLog, counters);
    WorkerEntry entry{session->threadHandle(), session->threadId()};
    counters->connectionAccepted();  // before the session runs, which may end it at once
    if (WorkerThread::resume(std::move(session))) {
        AddSession(entry.threadId, entry.threadHandle);
    } else {
        // The session was destroyed unstarted and closed the connection with it.
        counters->connectionEnded();
    }
}

void CThreadListenTCP::PauseAccepting() {
    listenSocket.setReadNotices(false);
    if (acceptRetryTimer == 0) {
        acceptRetryTimer = setTimer(ACCEPT_RETRY_MS);
    }
}

void CThreadListenTCP::onTimer(TimerId id) {
    if (id == acceptRetryTimer) {
        killTimer(acceptRetryTimer);
        acceptRetryTimer = 0;
        listenSocket.setReadNotices(true);
    }
}

// Ids grow with every thread created, and sessions register as they are started, so the
// list in order of registration is also sorted by id: lookups are binary searches, which
// matters to a listener holding thousands of connections.
std::vector<WorkerEntry>::iterator CThreadListenTCP::FindSessionSlot(ThreadId id) {
    return std::lower_bound(
        sessions.begin(), sessions.end(), id,
        [](const WorkerEntry& entry, ThreadId wanted) { return entry.threadId < wanted; });
}

void CThreadListenTCP::AddSession(ThreadId id, const ThreadHandle& handle) {
    auto slot = FindSessionSlot(id);
    if (slot == sessions.end() || slot->threadId != id) {
        sessions.insert(slot, WorkerEntry{handle, id});
    }
}

void CThreadListenTCP::RemoveSession(ThreadId id) {
    auto slot = FindSessionSlot(id);
    if (slot != sessions.end() && slot->threadId == id) {
        sessions.erase(slot);
    }
}

void CThreadListenTCP::ClosePort() {
    listenSocket.Close();
    if (acceptRetryTimer != 0) {
        killTimer(acceptRetryTimer);
        acceptRetryTimer = 0;
    }
    StopSessions();
    routing.reset();  // the listener's share: a session that is still running keeps its own
}

// Asks every session to end quietly, all at once, then waits for each in turn.
void CThreadListenTCP::StopSessions() {
    for (const WorkerEntry& entry : sessions) {
        PostThreadMessage(entry.threadId, WM_PORT_STOP, 1, 0);
    }
    for (const WorkerEntry& entry : sessions) {
        entry.threadHandle.wait(SESSION_WAIT_MS);
    }
    sessions.clear();
}

}  // namespace tarnwick
