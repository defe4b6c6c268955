#pragma once

#include <memory>

#include "base/UniqueFd.h"
#include "config/ForwardingPort.h"
#include "engine/PortCounters.h"
#include "engine/loop/Message.h"
#include "engine/routing/CaptureLog.h"
#include "engine/socket/SocketAddress.h"
#include "engine/worker/WorkerThread.h"

namespace tarnwick {

// The worker of one running port, a TCP listener (CThreadListenTCP) or a UDP relay
// (CThreadUDP): the start, stop and restart that both go through. A worker subclass says
// only how its port is opened and closed, and what it does while the port runs.
//
// Created suspended like every worker: the starter stores the new worker's id and handle
// in the port's record, hands over a deep copy of the record (which carries them and
// `ownerWindow`), the port's counters and, on a restart, the previous worker's socket,
// then resumes it. The worker owns the copy from then on and frees it when it ends,
// whatever the reason.
//
// Notices to the copy's `ownerWindow`, each with the worker's thread id as wParam:
//   WM_PORT_STARTED (handle in Message::handle) once the port is open;
//   WM_PORT_STOP (lParam: the errno) when it could not be opened;
//   WM_PORT_STOP (lParam 0) in answer to WM_PORT_STOP with wParam 0, and when the worker
//     ends for a reason of its own;
//   WM_PORT_RESTART in answer to WM_PORT_RESTART, always, with the port's socket, still
//     open, in Message::descriptor: the next worker takes it over when it listens at the
//     same place, so that the port is never unbound in between.
// WM_PORT_STOP with a non-zero wParam is a quiet stop: nothing is answered. A stop that
// comes while a restart is under way turns it into that stop. Every answer comes once the
// port is closed and whatever ran on it has ended, without the worker ever waiting: the
// loop goes on serving it (and everything else) meanwhile. The worker ends right after
// the answer. A request queued before the worker ran is handled before the start, which
// then finds the copy gone and opens nothing.
class CThreadPort : public WorkerThread {
public:
    ~CThreadPort() override;

    // Before resume: the worker's own deep copy of the port, carrying `ownerWindow`.
    // Without one the worker opens nothing and reports nothing.
    void setPortCopy(std::unique_ptr<ForwardingPort> copy) { portCopy = std::move(copy); }
    // Before resume: the port's counters, shared with the controller and with a listener's
    // sessions (never null).
    void setCounters(std::shared_ptr<PortCounters> counters) {
        this->counters = std::move(counters);
    }
    // Before resume: the socket the port's previous worker served, handed on by a restart.
    // Taken over when it is bound where this worker listens, with the same protocol;
    // otherwise closed before the port opens.
    void setInheritedSocket(UniqueFd socket) { inherited_ = std::move(socket); }

protected:
    // `captureLog` receives the first-packet dumps of the port; it must not be null.
    explicit CThreadPort(std::shared_ptr<CaptureLog> captureLog);

    // WM_PORT_STARTED, WM_PORT_RESTART and WM_PORT_STOP; a subclass that handles more
    // messages passes the rest on to this.
    void onMessage(const Message& message) override;

    // Opens the port as `portCopy` says: 0, or -errno when it cannot.
    virtual int OpenPort() = 0;
    // Closes the port and starts ending whatever runs on it; with `handOver` the port's
    // socket is not closed but given to KeepSocket, for the next worker. Returns true when
    // everything has ended; otherwise the subclass calls PortClosed once it has. The copy
    // is still there; it may also be gone already, when nothing was ever opened.
    virtual bool ClosePort(bool handOver) = 0;
    void KeepSocket(int fd) { handedOver_.reset(fd); }
    void PortClosed();

    // The socket inherited from the previous worker, when it is of `type` (SOCK_STREAM or
    // SOCK_DGRAM) and bound to `local`; closed, and none returned, otherwise.
    UniqueFd TakeInheritedSocket(const SocketAddress& local, int type);

    // Ends the worker: closes the port, frees the copy, tells the owner WM_PORT_STOP (own
    // id, lParam `error`) unless `quiet`, and ends.
    void OnStop(bool quiet, int error = 0);

    // Set before resume, freed as the worker ends: null once freed. A TCP listener shares
    // it with its sessions as a read-only routing table.
    std::shared_ptr<ForwardingPort> portCopy;
    std::shared_ptr<CaptureLog> captureLog;
    std::shared_ptr<PortCounters> counters = std::make_shared<PortCounters>();

private:
    enum class Ending { None, Restart, Stop, QuietStop };

    void OnStart();
    void OnRestart();
    void BeginEnding(Ending ending, int error);
    void Answer(MailboxId owner);

    Ending ending_ = Ending::None;
    int endError_ = 0;
    bool answered_ = false;
    UniqueFd inherited_;   // from the previous worker, until the port opens
    UniqueFd handedOver_;  // for the next worker, until the answer takes it
};

}  // namespace tarnwick
