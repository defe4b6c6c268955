#pragma once

#include <memory>

#include "config/ForwardingPort.h"
#include "engine/PortCounters.h"
#include "engine/event/Message.h"
#include "engine/event/WorkerThread.h"
#include "engine/routing/CaptureLog.h"

namespace tarnwick {

// The worker of one running port, a TCP listener (CThreadListenTCP) or a UDP relay
// (CThreadUDP): the start, stop and restart that both go through. A worker subclass says
// only how its port is opened and closed, and what it does while the port runs.
//
// Created suspended like every worker: the starter stores the new thread's id and handle
// in the port's record, hands over a deep copy of the record (which carries them and
// `ownerWindow`) and the port's counters, then resumes it. The worker owns the copy from
// then on and frees it when it ends, whatever the reason.
//
// Notices to the copy's `ownerWindow`, each with the worker's thread id as wParam:
//   WM_PORT_STARTED (handle in Message::handle) once the port is open;
//   WM_PORT_STOP (lParam: the errno) when it could not be opened;
//   WM_PORT_STOP (lParam 0) in answer to WM_PORT_STOP with wParam 0, and when the worker
//     ends for a reason of its own;
//   WM_PORT_RESTART in answer to WM_PORT_RESTART, always.
// WM_PORT_STOP with a non-zero wParam is a quiet stop: nothing is answered. Every answer
// comes once the port is closed and whatever ran on it has ended, and the thread ends
// right after it. A request queued before the thread ran is handled before the start,
// which then finds the copy gone and opens nothing.
class CThreadPort : public WorkerThread {
public:
    ~CThreadPort() override;

    // Before resume: the worker's own deep copy of the port, carrying `ownerWindow`.
    // Without one the worker opens nothing and reports nothing.
    void setPortCopy(std::unique_ptr<ForwardingPort> copy) { portCopy = std::move(copy); }
    // Before resume: the port's counters, shared with the controller and with a listener's
    // sessions (never null).
    void setCounters(std::shared_ptr<PortCounters> counters) { this->counters = std::move(counters); }

protected:
    // `captureLog` receives the first-packet dumps of the port; it must not be null.
    explicit CThreadPort(std::shared_ptr<CaptureLog> captureLog);

    // WM_PORT_STARTED, WM_PORT_RESTART and WM_PORT_STOP; a subclass that handles more
    // messages passes the rest on to this.
    void onMessage(const Message& message) override;

    // Opens the port as `portCopy` says: 0, or -errno when it cannot.
    virtual int OpenPort() = 0;
    // Closes the port and ends whatever runs on it. The copy is still there; it may also
    // be gone already, when the worker is asked to end a second time.
    virtual void ClosePort() = 0;

    // Ends the worker: closes the port, frees the copy, tells the owner WM_PORT_STOP (own
    // id, lParam `error`) unless `quiet`, and ends the loop.
    void OnStop(bool quiet, int error = 0);

    // Set before resume, freed as the worker ends: null once freed. A TCP listener shares
    // it with its sessions as a read-only routing table.
    std::shared_ptr<ForwardingPort> portCopy;
    std::shared_ptr<CaptureLog> captureLog;
    std::shared_ptr<PortCounters> counters = std::make_shared<PortCounters>();

private:
    void OnStart();
    void OnRestart();
    // Closes the port and frees the copy. Returns the mailbox to report to, or 0 when the
    // copy was already gone (a second request to end).
    MailboxId ShutDown();
};

}  // namespace tarnwick
