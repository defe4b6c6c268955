#include "engine/CThreadPort.h"

#include <sys/socket.h>

#include <utility>

#include "engine/EngineMessages.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {

CThreadPort::CThreadPort(std::shared_ptr<CaptureLog> captureLog)
    : WorkerThread(WM_PORT_STARTED), captureLog(std::move(captureLog)) {}

CThreadPort::~CThreadPort() = default;

void CThreadPort::onMessage(const Message& message) {
    switch (message.message) {
        case WM_PORT_STARTED:
            OnStart();
            break;
        case WM_PORT_RESTART:
            OnRestart();
            break;
        case WM_PORT_STOP:
            OnStop(message.wParam != 0);
            break;
        default:
            break;
    }
}

void CThreadPort::OnStart() {
    if (!portCopy || ending_ != Ending::None) {
        return;  // a stop or restart request came first; the worker is already ending
    }
    if (int result = OpenPort(); result != 0) {
        OnStop(false, -result);  // the owner learns why the port did not open
        return;
    }
    PostThreadMessage(portCopy->ownerWindow, WM_PORT_STARTED, threadId(), 0, threadHandle());
}

void CThreadPort::OnRestart() {
    BeginEnding(Ending::Restart, 0);
}

void CThreadPort::OnStop(bool quiet, int error) {
    BeginEnding(quiet ? Ending::QuietStop : Ending::Stop, error);
}

// The first request starts the ending; a later stop only changes the answer: it overrides
// a restart, and a quiet one silences a reporting one.
void CThreadPort::BeginEnding(Ending ending, int error) {
    if (ending_ != Ending::None) {
        if (ending != Ending::Restart && ending_ != Ending::QuietStop) {
            ending_ = ending;
        }
        return;
    }
    ending_ = ending;
    endError_ = error;
    inherited_.reset();
    if (ClosePort(ending == Ending::Restart)) {
        PortClosed();
    }
}

void CThreadPort::PortClosed() {
    if (answered_) {
        return;
    }
    answered_ = true;
    MailboxId owner = portCopy ? portCopy->ownerWindow : 0;
    portCopy.reset();
    Answer(owner);  // owner 0: nobody to tell
    quit();
}

void CThreadPort::Answer(MailboxId owner) {
    switch (ending_) {
        case Ending::Restart: {
            Message answer{WM_PORT_RESTART, threadId(), 0, {}, {}};
            if (handedOver_.valid()) {
                answer.descriptor = std::make_shared<UniqueFd>(std::move(handedOver_));
            }
            ThreadRegistry::instance().post(owner, std::move(answer));
            break;
        }
        case Ending::Stop:
            PostThreadMessage(owner, WM_PORT_STOP, threadId(), endError_);
            break;
        case Ending::QuietStop:
        case Ending::None:
            break;
    }
    handedOver_.reset();  // a stop that overrode a restart closes the kept socket
}

UniqueFd CThreadPort::TakeInheritedSocket(const SocketAddress& local, int type) {
    UniqueFd socket = std::move(inherited_);
    if (!socket.valid()) {
        return socket;
    }
    int actualType = 0;
    socklen_t length = sizeof actualType;
    const SocketAddress bound = SocketAddress::LocalOf(socket.get());
    const bool same = ::getsockopt(socket.get(), SOL_SOCKET, SO_TYPE, &actualType, &length) == 0 &&
                      actualType == type && bound.family() == local.family() &&
                      bound.samePeer(local);
    if (!same) {
        socket.reset();  // closed before the port binds its new place
    }
    return socket;
}

}  // namespace tarnwick
