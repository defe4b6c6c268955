#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "ForwardingPort.h"
#include "PortView.h"
#include "WorkerEntry.h"
#include "event/Message.h"
#include "routing/CaptureLog.h"

namespace tarnwick {

// Starts, stops and restarts forwarding ports. It owns the port table (one record per row
// of the port list, in row order) and the list of live workers, and talks to workers only
// by posting messages; their notices come back to the `ownerWindow` mailbox, whose owner
// hands them to `handleNotice`. Runs entirely on one thread (the user-interface thread or
// the headless service's main thread). Rows are named by index for commands and found by
// `threadId` for notices, so a sort of the rows between the two is harmless.
class CPortController {
public:
    // The shut-down wait for each live worker.
    static constexpr std::chrono::milliseconds WORKER_WAIT{25000};

    CPortController(PortView& view, MailboxId ownerWindow, std::shared_ptr<CaptureLog> captureLog);
    ~CPortController();
    CPortController(const CPortController&) = delete;
    CPortController& operator=(const CPortController&) = delete;

    // ---- the port table ----
    const PortTable& ports() const { return ports_; }
    std::size_t rowCount() const { return ports_.size(); }
    ForwardingPort& port(std::size_t row) { return *ports_.at(row); }
    // Appends records as the last rows (the loader's order); nothing starts.
    void appendPorts(PortTable ports);
    // Inserts a record as row 0 (Add); nothing starts.
    void insertPort(std::unique_ptr<ForwardingPort> port);
    // Removes a row and hands its record back (Delete, after `stopPort`).
    std::unique_ptr<ForwardingPort> removePort(std::size_t row);
    // Hands the whole table over, leaving no rows (a reload rebuilds it).
    PortTable takePorts() {
        PortTable taken;
        taken.swap(ports_);
        return taken;
    }
    // Reorders the rows to follow a sort: the row now at index i was at `oldRows[i]`.
    // `oldRows` must be a permutation of the current rows.
    void reorderRows(const std::vector<std::size_t>& oldRows);

    // ---- commands; a row of -1 (no selection) does nothing ----
    void startPort(int row);
    void stopPort(int row);
    void startAll();
    void stopAll();
    void requestRestart(int row);

    // ---- notices from workers ----
    // Dispatches WM_PORT_STARTED, WM_PORT_STOP and WM_PORT_RESTART; false for others.
    bool handleNotice(const Message& message);
    void onPortStarted(ThreadId threadId, const ThreadHandle& threadHandle);
    void onPortStopped(ThreadId threadId, int error = 0);
    void onPortRestart(ThreadId threadId);

    // Tells every live worker to end quietly, then waits for each in turn (at most
    // WORKER_WAIT each), then destroys every record. Called once, at the end.
    void shutdown(std::chrono::milliseconds wait = WORKER_WAIT);

    const std::vector<WorkerEntry>& liveWorkers() const { return liveWorkers_; }

private:
    // Steps 2 to 5 of starting a port: a suspended worker of the record's protocol, its id
    // and handle stored in the record, a deep copy handed over, then resumed.
    void startWorker(ForwardingPort& record);
    int rowOf(ThreadId threadId) const;
    void forgetWorker(ThreadId threadId);
    bool validRow(int row) const { return row >= 0 && static_cast<std::size_t>(row) < ports_.size(); }

    PortView& view_;
    MailboxId ownerWindow_;
    std::shared_ptr<CaptureLog> captureLog_;
    PortTable ports_;
    std::vector<WorkerEntry> liveWorkers_;
    bool shutDown_ = false;
};

}  // namespace tarnwick
