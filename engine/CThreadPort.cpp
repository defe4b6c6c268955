#include "engine/CThreadPort.h"

#include <utility>

#include "engine/event/EngineMessages.h"
#include "engine/event/ThreadRegistry.h"

namespace tarnwick {

CThreadPort::CThreadPort(std::shared_ptr<CaptureLog> captureLog)
    : captureLog(std::move(captureLog)) {}

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
    if (!portCopy) {
        return;  // a stop or restart request came first; the worker is already ending
    }
    if (int result = OpenPort(); result != 0) {
        OnStop(false, -result);  // the owner learns why the port did not open
        return;
    }
    PostThreadMessage(portCopy->ownerWindow, WM_PORT_STARTED, threadId(), 0, threadHandle());
}

void CThreadPort::OnRestart() {
    MailboxId owner = ShutDown();
    PostThreadMessage(owner, WM_PORT_RESTART, threadId(), 0);
    quit();
}

void CThreadPort::OnStop(bool quiet, int error) {
    MailboxId owner = ShutDown();
    if (!quiet) {
        PostThreadMessage(owner, WM_PORT_STOP, threadId(), error);  // owner 0: nobody to tell
    }
    quit();
}

MailboxId CThreadPort::ShutDown() {
    ClosePort();
    MailboxId owner = portCopy ? portCopy->ownerWindow : 0;
    portCopy.reset();
    return owner;
}

}  // namespace tarnwick
