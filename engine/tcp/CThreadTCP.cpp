#include "tcp/CThreadTCP.h"

#include <cerrno>
#include <utility>

#include "event/EngineMessages.h"
#include "event/ThreadRegistry.h"
#include "routing/ChooseDestination.h"

namespace tarnwick {

CThreadTCP::CThreadTCP(ThreadId listenerThreadId, std::shared_ptr<const RoutingTable> routing,
                       UniqueFd acceptedHandle, std::shared_ptr<CaptureLog> captureLog)
    : clientSocket(*this),
      forwardSocket(*this),
      relay(clientSocket, forwardSocket),
      routing(std::move(routing)),
      captureFirstPacket(this->routing->port().captureFirstPacket),
      listenerThreadId(listenerThreadId),
      acceptedHandle(std::move(acceptedHandle)),
      captureLog(std::move(captureLog)) {}

CThreadTCP::~CThreadTCP() = default;

void CThreadTCP::onMessage(const Message& message) {
    switch (message.message) {
        case WM_PORT_STARTED:
            OnStart();
            break;
        case WM_PORT_STOP:
            EndSession(message.wParam);
            break;
        default:
            break;
    }
}

void CThreadTCP::onTimer(TimerId id) {
    OnTimer(id);
}

void CThreadTCP::OnStart() {
    if (state != State::Starting) {
        return;  // a stop request queued before the thread ran has ended it already
    }
    if (!clientSocket.Attach(acceptedHandle.get())) {
        EndSession(1);  // nothing to relay: end without ever registering
        return;
    }
    acceptedHandle.release();  // clientSocket owns it now
    clientSocket.SetNoDelay();
    const ForwardingPort& port = routing->port();
    if (port.isSmart()) {
        timerId = setTimer(std::chrono::seconds(port.timeoutSeconds));
        state = State::WaitingForFirstData;
        // Bookkeeping only (the listener registered the session when it started it): it
        // need not wake the listener, which takes it with its next accept or stop request.
        PostThreadMessageLazily(listenerThreadId, WM_SESSION_STARTED, threadId(), 0,
                                threadHandle());
        return;
    }
    ConnectForward(port.forwardIp, port.forwardPort);
}

void CThreadTCP::OnTimer(TimerId id) {
    if (id != timerId) {
        return;  // an expiry of a timer already stopped
    }
    StopTimer();
    if (state == State::WaitingForFirstData) {
        // Nothing came in time: the default destination, and no rule is tried.
        ConnectForward(routing->port().forwardIp, routing->port().forwardPort);
    } else {
        EndSession(0);  // the destination did not answer within the connect limit
    }
}

void CThreadTCP::OnClientData() {
    if (state == State::Relaying) {
        Follow(relay.onReadable(clientSocket));
        return;
    }
    if (state != State::WaitingForFirstData) {
        return;
    }
    // A Smart port's first data: it picks the destination and goes there first, in full.
    // The buffer is on the heap, not the stack: a stack page touched once stays with the
    // thread for the connection's life, a freed heap block serves the next session.
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(RELAY_BUFFER_SIZE);
    long received = clientSocket.Receive(buffer.get(), RELAY_BUFFER_SIZE);
    if (received == -EAGAIN) {
        return;
    }
    if (received < 1) {
        EndSession(0);  // closed or failed before sending anything: no outgoing connection
        return;
    }
    StopTimer();
    std::string host;
    std::int32_t port = 0;
    auto length = static_cast<std::size_t>(received);
    ChooseDestination(*routing, captureFirstPacket, buffer.get(), length, host, port,
                      *captureLog);
    relay.holdForForward(std::move(buffer), length);
    ConnectForward(host, port);
}

void CThreadTCP::OnForwardData() {
    if (state == State::Relaying) {
        Follow(relay.onReadable(forwardSocket));
    }
}

void CThreadTCP::OnWritable(Socket& socket) {
    if (state == State::Relaying) {
        Follow(relay.onWritable(socket));
    }
}

void CThreadTCP::OnSocketClosed(Socket& socket, int error) {
    if (state == State::Relaying) {
        Follow(relay.onClosed(socket, error));
    } else {
        EndSession(0);  // the client went before there was anything to relay
    }
}

// Resolves the destination and connects to its addresses in turn. The client's data waits
// in the kernel meanwhile.
void CThreadTCP::ConnectForward(const std::string& host, std::int32_t port) {
    state = State::Connecting;
    clientSocket.setReadNotices(false);
    addresses = SocketAddress::Resolve(host, port);
    ConnectNextAddress();
}

// One connect limit covers every address: the timer starts with the first attempt that
// has to wait, and keeps running through the later ones.
void CThreadTCP::ConnectNextAddress() {
    while (!addresses.empty()) {
        const SocketAddress address = addresses.front();
        addresses.erase(addresses.begin());
        forwardSocket.Close();
        if (forwardSocket.Create(0, SocketType::Stream, false, address.family()) != 0) {
            continue;
        }
        int result = forwardSocket.Connect(address);
        if (result == 0) {
            OnConnected();
            return;
        }
        if (result == -EINPROGRESS) {
            if (timerId == 0) {
                timerId = setTimer(connectTimeout);
            }
            return;
        }
    }
    EndSession(0);  // no address answered: the client is closed, having seen nothing
}

void CThreadTCP::OnForwardConnected(int error) {
    if (state != State::Connecting) {
        return;
    }
    if (error != 0) {
        ConnectNextAddress();
    } else {
        OnConnected();
    }
}

void CThreadTCP::OnConnected() {
    StopTimer();
    addresses = {};
    forwardSocket.SetNoDelay();
    state = State::Relaying;
    if (!routing->port().isSmart()) {
        PostThreadMessageLazily(listenerThreadId, WM_SESSION_STARTED, threadId(), 0,
                                threadHandle());
    }
    Follow(relay.start());
}

void CThreadTCP::Follow(Relay::Outcome outcome) {
    if (outcome == Relay::Outcome::Finished) {
        EndSession(0);
    } else if (outcome == Relay::Outcome::Failed) {
        AbortSession();
    }
}

// An error or a reset on one side: the other side is reset too, so that it does not take
// the cut stream for a complete one.
void CThreadTCP::AbortSession() {
    relay.abort();
    EndSession(0);
}

void CThreadTCP::StopTimer() {
    if (timerId != 0) {
        killTimer(timerId);
        timerId = 0;
    }
}

void CThreadTCP::EndSession(std::uintptr_t quietly) {
    if (state != State::Ended) {
        state = State::Ended;
        relay.close();
        StopTimer();
        FreePortCopy();
        if (quietly == 0 && listenerThreadId != 0) {
            PostThreadMessageLazily(listenerThreadId, WM_SESSION_ENDED, threadId(), 0);
        }
        listenerThreadId = 0;
    }
    quit();
}

void CThreadTCP::FreePortCopy() {
    routing.reset();
}

}  // namespace tarnwick
