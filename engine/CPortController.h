#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "config/ForwardingPort.h"
#include "engine/ConnectionRecord.h"
#include "engine/PortCounters.h"
#include "engine/PortView.h"
#include "engine/WorkerEntry.h"
#include "engine/loop/Message.h"
#include "engine/routing/CaptureLog.h"

namespace tarnwick {

// Starts, stops and restarts forwarding ports. It owns the port table (one record per row
// of the port list, in row order) and the list of live workers, and talks to workers only
// by posting messages; their notices come back to the `ownerWindow` mailbox, whose owner
// hands them to `handleNotice`. Runs entirely on one thread (the user-interface thread or
// the headless service's main thread). Rows are named by index for commands and found by
// `threadId` for notices, so a sort of the rows between the two is harmless.
//
// Every worker it starts gets a fresh PortCounters, which the controller keeps beside the
// worker's id until the worker has ended, so that it can report what flows through each
// running port and pass the records of ended connections on to the connection log.
class CPortController {
public:
    using ConnectionLog = std::function<void(const ConnectionRecord&)>;

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
    // Hands the whole table over, leaving no rows and no kept records (a reload rebuilds
    // it).
    PortTable takePorts() {
        PortTable taken;
        taken.swap(ports_);
        recent_.clear();
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
    // `socket`: the ended worker's socket, still open, for the new worker to take over
    // when the port still listens at the same place (else the new worker closes it).
    void onPortRestart(ThreadId threadId, std::shared_ptr<UniqueFd> socket = nullptr);

    // Tells every live worker to end quietly, then waits for each in turn (at most
    // WORKER_WAIT each), then destroys every record. Called once, at the end.
    void shutdown(std::chrono::milliseconds wait = WORKER_WAIT);

    const std::vector<WorkerEntry>& liveWorkers() const { return liveWorkers_; }

    // ---- what flows ----
    // True once the row's worker has reported that it runs ("Running" "Yes").
    bool isRunning(std::size_t row) const;
    // The counters of the row's current worker, or null when it has none.
    std::shared_ptr<const PortCounters> counters(std::size_t row) const;
    // Workers started from now on queue a record of every ended connection (and of every
    // UDP association, and every refused client), which `drainConnectionLog` hands to
    // `log`. Without it nothing is queued.
    void setConnectionLog(ConnectionLog log);
    // Hands every queued record to the log, port by port, each port's oldest first. Also
    // done for a worker's last records when it reports its end, and at shutdown.
    void drainConnectionLog();
    // Workers started from now on queue their records as for the log, and each port keeps
    // the last `count` of them (taken when the log is drained), for a window that shows
    // them. A port's records go with its row.
    void keepRecentConnections(std::size_t count);
    // The row's kept records, oldest first; empty when it has none.
    std::vector<ConnectionRecord> recentConnections(std::size_t row) const;

private:
    // A started worker's counters, kept until the worker has reported its end.
    struct WorkerCounters {
        ThreadId threadId = 0;
        std::shared_ptr<PortCounters> counters;
    };

    // Steps 2 to 5 of starting a port: a suspended worker of the record's protocol, its id
    // and handle stored in the record, a deep copy handed over (with the socket a restart
    // handed on), then resumed.
    void startWorker(ForwardingPort& record, std::shared_ptr<UniqueFd> socket = nullptr);
    int rowOf(ThreadId threadId) const;
    void forgetWorker(ThreadId threadId);
    void forgetCounters(ThreadId threadId);
    void drain(ThreadId threadId, PortCounters& counters);
    bool logsConnections() const { return connectionLog_ || recentLimit_ > 0; }
    bool validRow(int row) const {
        return row >= 0 && static_cast<std::size_t>(row) < ports_.size();
    }

    PortView& view_;
    MailboxId ownerWindow_;
    std::shared_ptr<CaptureLog> captureLog_;
    PortTable ports_;
    std::vector<WorkerEntry> liveWorkers_;
    std::vector<WorkerCounters> workerCounters_;
    ConnectionLog connectionLog_;
    std::size_t recentLimit_ = 0;
    std::map<const ForwardingPort*, std::deque<ConnectionRecord>> recent_;  // by record
    bool shutDown_ = false;
};

}  // namespace tarnwick
