#include "engine/tcp/CThreadListenTCP.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "engine/EngineMessages.h"
#include "engine/tcp/CThreadTCP.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {

namespace {

// Ends a connection with a reset instead of a FIN: the client learns at once that it was
// not admitted, and no session, destination or first-data wait is ever started for it.
void RefuseWithReset(UniqueFd accepted) {
    const linger resetOnClose{1, 0};
    ::setsockopt(accepted.get(), SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
}

}  // namespace

CThreadListenTCP::CThreadListenTCP(std::shared_ptr<CaptureLog> captureLog)
    : CThreadPort(std::move(captureLog)),
      listenSocket(*this),
      group(std::make_shared<SessionGroup>(threadId())) {}

CThreadListenTCP::~CThreadListenTCP() = default;

void CThreadListenTCP::onMessage(const Message& message) {
    switch (message.message) {
        case WM_SESSION_STARTED:
            break;  // registered when it was started
        case WM_SESSION_ENDED:
            SessionEnded(static_cast<ThreadId>(message.wParam));
            break;
        default:
            CThreadPort::onMessage(message);
            break;
    }
}

// Listens on the socket the previous worker of this port handed on, when it is bound to
// the same place: the port then never stops listening across a restart.
int CThreadListenTCP::OpenPort() {
    auto local = SocketAddress::ForListening(portCopy->listenAddress, portCopy->listenPort);
    if (!local) {
        return -EINVAL;
    }
    UniqueFd inherited = TakeInheritedSocket(*local, SOCK_STREAM);
    int result = -EBADF;
    if (inherited.valid() && listenSocket.Attach(inherited.get(), true)) {
        inherited.release();
        result = 0;
    } else {
        inherited.reset();
        result = listenSocket.Create(*local, SocketType::Stream, true);
    }
    allowedClients = AllowedClients(portCopy->allowFrom);
    headerSources = portCopy->acceptProxyProtocol && !allowedClients.admitsEveryone()
                        ? std::make_shared<const AllowedClients>(allowedClients)
                        : nullptr;
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
    for (int accepted = 0; accepted < ACCEPTS_PER_NOTICE && AcceptOne(); ++accepted) {
    }
}

// False when nothing more can be accepted now.
bool CThreadListenTCP::AcceptOne() {
    UniqueFd accepted;
    SocketAddress client;
    int result = listenSocket.Accept(accepted, allowedClients.admitsEveryone() ? nullptr : &client);
    if (result == 0 && !Admits(client)) {
        RefuseWithReset(std::move(accepted));
        Refused(client);
    } else if (result == 0) {
        StartSession(std::move(accepted));
    } else if (result == -EAGAIN) {
        return false;
    } else if ((result == -EMFILE || result == -ENFILE) && !listenSocket.hasSpareDescriptor()) {
        PauseAccepting();
        return false;
    }
    // Any other failure (the client gave up before it was accepted) leaves nothing to serve.
    return listenSocket.isOpen() && listenSocket.wantsRead();
}

// Only a port with allowed clients needs to know who connected.
bool CThreadListenTCP::Admits(const SocketAddress& client) const {
    return allowedClients.admitsEveryone() || allowedClients.admits(client);
}

// A client that allowFrom turns away: counted, and logged when the port logs connections.
void CThreadListenTCP::Refused(const SocketAddress& client) {
    counters->clientRefused();
    if (counters->logsConnections()) {
        ConnectionRecord record;
        record.listenPort = portCopy->listenPort;
        record.client = client.toString();
        record.endedAt = std::chrono::system_clock::now();
        record.end = EndReason::Refused;
        counters->logConnection(std::move(record));
    }
}

// The session is listed here, when it is started, and not only when its own
// WM_SESSION_STARTED arrives: a stop that comes in between then still ends it.
void CThreadListenTCP::StartSession(UniqueFd accepted) {
    group->started();  // before the session exists: its end, even unstarted, is counted
    auto session = std::make_unique<CThreadTCP>(threadId(), routing, std::move(accepted),
                                                captureLog, counters, group);
    const ThreadId id = session->threadId();
    if (headerSources) {
        session->admitHeaderSources(headerSources);
    }
    counters->connectionAccepted();  // before the session runs, which may end it at once
    if (WorkerThread::resume(std::move(session))) {
        sessions.insert(id);
    } else {
        // The session was destroyed unstarted and closed the connection with it.
        counters->connectionEnded();
    }
}

// wParam 0: the last session has ended while the listener waits (SessionGroup).
void CThreadListenTCP::SessionEnded(ThreadId id) {
    if (id != 0) {
        sessions.erase(id);
    } else if (endingSessions) {
        StopTimer(sessionWaitTimer);
        PortClosed();
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
        StopTimer(acceptRetryTimer);
        listenSocket.setReadNotices(true);
    } else if (id == sessionWaitTimer) {
        // Sessions that have not answered by now are no longer waited for.
        StopTimer(sessionWaitTimer);
        PortClosed();
    }
}

void CThreadListenTCP::StopTimer(TimerId& timer) {
    if (timer != 0) {
        killTimer(timer);
        timer = 0;
    }
}

bool CThreadListenTCP::ClosePort(bool handOver) {
    if (handOver && listenSocket.isOpen()) {
        KeepSocket(listenSocket.Detach());  // clients wait in its queue for the next worker
    }
    listenSocket.Close();
    StopTimer(acceptRetryTimer);
    routing.reset();  // the listener's share: a session that is still running keeps its own
    StopSessions();
    if (group->waitForAll()) {
        return true;
    }
    endingSessions = true;
    sessionWaitTimer = setTimer(SESSION_WAIT_MS);
    return false;
}

// Asks every session to end quietly, all at once; the group tells when the last has.
void CThreadListenTCP::StopSessions() {
    for (ThreadId id : sessions) {
        PostThreadMessage(id, WM_PORT_STOP, 1, 0);
    }
    sessions.clear();
}

}  // namespace tarnwick
