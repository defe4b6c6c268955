#include "tcp/CThreadTCP.h"

#include <cerrno>
#include <utility>

#include "event/EngineMessages.h"
#include "event/ThreadRegistry.h"
#include "routing/ChooseDestination.h"

namespace tarnwick {

CThreadTCP::CThreadTCP(ThreadId listenerThreadId, std::unique_ptr<ForwardingPort> portCopy,
                       UniqueFd acceptedHandle, std::shared_ptr<CaptureLog> captureLog)
    : clientSocket(*this),
      forwardSocket(*this),
      portCopy(std::move(portCopy)),
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
    if (portCopy->isSmart()) {
        timerId = setTimer(std::chrono::seconds(portCopy->timeoutSeconds));
        state = State::WaitingForFirstData;
    } else if (!ConnectForward(portCopy->forwardIp, portCopy->forwardPort)) {
        EndSession(0);
        return;
    }
    // Bookkeeping only (the listener registered the session when it started it): it need
    // not wake the listener, which takes it with its next accept or stop request.
    PostThreadMessageLazily(listenerThreadId, WM_SESSION_STARTED, threadId(), 0, threadHandle());
}

// The first-data timer: nothing came in time, so the default destination is used and no
// rule is tried. An expiry of a timer already stopped is ignored.
void CThreadTCP::OnTimer(TimerId id) {
    if (id != timerId || state != State::WaitingForFirstData) {
        return;
    }
    StopFirstDataTimer();
    if (!ConnectForward(portCopy->forwardIp, portCopy->forwardPort)) {
        EndSession(0);
    }
}

void CThreadTCP::OnClientData() {
    if (state != State::WaitingForFirstData) {
        Relay(clientSocket, forwardSocket, fromClient, fromForward.open);
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
    StopFirstDataTimer();
    std::string host;
    std::int32_t port = 0;
    auto length = static_cast<std::size_t>(received);
    ChooseDestination(*portCopy, buffer.get(), length, host, port, *captureLog);
    if (!ConnectForward(host, port) || !SendAll(forwardSocket, buffer.get(), length)) {
        EndSession(0);
    }
}

void CThreadTCP::OnForwardData() {
    Relay(forwardSocket, clientSocket, fromForward, fromClient.open);
}

// Moves what `from` has waiting to `to`, each piece in full, or passes on `from`'s FIN.
void CThreadTCP::Relay(Socket& from, Socket& to, Direction& direction, bool toOpen) {
    bool full = false;
    long moved = MovePiece(from, to, direction, full);
    // A full piece means more is likely waiting: take a few more before polling again.
    for (int more = 0; more < 8 && full; ++more) {
        long next = MovePiece(from, to, direction, full);
        if (next == -EAGAIN) {
            return;
        }
        moved = next;
    }
    if (moved == -EAGAIN) {
        return;  // the readiness was used up by an earlier read
    }
    if (moved == 0) {
        EndOfData(from, to, direction.open, toOpen);
    } else if (moved < 0) {
        EndSession(0);
    }
}

// Small pieces are copied through the process. Once a piece fills the copy buffer the
// direction carries a stream, which is spliced inside the kernel; a piece smaller than
// the copy buffer ends the stream, and once neither direction streams the pipe is closed,
// so a connection that has gone quiet holds no pipe.
long CThreadTCP::MovePiece(Socket& from, Socket& to, Direction& direction, bool& full) {
    std::size_t limit = direction.streaming ? STREAM_BUFFER_SIZE : Socket::COPY_BUFFER_SIZE;
    long moved = direction.streaming ? from.ForwardTo(to, pipe, limit) : from.CopyTo(to, limit);
    full = moved == static_cast<long>(limit);
    if (full) {
        direction.streaming = true;
    } else if (moved >= 0 && moved < static_cast<long>(Socket::COPY_BUFFER_SIZE)) {
        direction.streaming = false;
        if (!fromClient.streaming && !fromForward.streaming) {
            pipe.close();
        }
    }
    return moved;
}

// `from` sent its FIN after all its data, which has been relayed. Pass the FIN on and
// keep relaying the other direction; end once both directions are done.
void CThreadTCP::EndOfData(Socket& from, Socket& to, bool& fromOpen, bool toOpen) {
    fromOpen = false;
    from.setReadNotices(false);  // the end of data would keep polling readable
    if (!toOpen || to.ShutdownSend() != 0) {
        EndSession(0);
    }
}

bool CThreadTCP::ConnectForward(const std::string& host, std::int32_t port) {
    if (forwardSocket.Create() != 0 || forwardSocket.Connect(host, port) != 0) {
        return false;
    }
    forwardSocket.SetNoDelay();
    state = State::Relaying;
    return true;
}

void CThreadTCP::StopFirstDataTimer() {
    if (timerId != 0) {
        killTimer(timerId);
        timerId = 0;
    }
}

// Sends the whole piece; on an error, closes `to` and reports failure.
bool CThreadTCP::SendAll(Socket& to, const unsigned char* data, std::size_t length) {
    if (to.Send(data, length) < 0) {
        to.Close();
        return false;
    }
    return true;
}

void CThreadTCP::EndSession(std::uintptr_t quietly) {
    if (state != State::Ended) {
        state = State::Ended;
        clientSocket.Close();
        forwardSocket.Close();
        StopFirstDataTimer();
        FreePortCopy();
        if (quietly == 0 && listenerThreadId != 0) {
            PostThreadMessageLazily(listenerThreadId, WM_SESSION_ENDED, threadId(), 0);
        }
        listenerThreadId = 0;
    }
    quit();
}

void CThreadTCP::FreePortCopy() {
    portCopy.reset();
}

}  // namespace tarnwick
