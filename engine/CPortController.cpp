#include "engine/CPortController.h"

#include <algorithm>
#include <cassert>

#include "engine/EngineMessages.h"
#include "engine/tcp/CThreadListenTCP.h"
#include "engine/udp/CThreadUDP.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {

namespace {

// A suspended worker of the record's protocol.
std::unique_ptr<CThreadPort> CreateWorker(const ForwardingPort& record,
                                          const std::shared_ptr<CaptureLog>& captureLog) {
    if (record.isTcp()) {
        return std::make_unique<CThreadListenTCP>(captureLog);
    }
    return std::make_unique<CThreadUDP>(captureLog);
}

}  // namespace

CPortController::CPortController(PortView& view, MailboxId ownerWindow,
                                 std::shared_ptr<CaptureLog> captureLog)
    : view_(view), ownerWindow_(ownerWindow), captureLog_(std::move(captureLog)) {}

CPortController::~CPortController() {
    if (!shutDown_) {
        shutdown();
    }
}

void CPortController::appendPorts(PortTable ports) {
    for (auto& port : ports) {
        port->ownerWindow = ownerWindow_;
        ports_.push_back(std::move(port));
    }
}

void CPortController::insertPort(std::unique_ptr<ForwardingPort> port) {
    port->ownerWindow = ownerWindow_;
    ports_.insert(ports_.begin(), std::move(port));
}

std::unique_ptr<ForwardingPort> CPortController::removePort(std::size_t row) {
    std::unique_ptr<ForwardingPort> removed = std::move(ports_.at(row));
    ports_.erase(ports_.begin() + static_cast<std::ptrdiff_t>(row));
    recent_.erase(removed.get());
    return removed;
}

void CPortController::reorderRows(const std::vector<std::size_t>& oldRows) {
    assert(oldRows.size() == ports_.size());
    PortTable reordered;
    reordered.reserve(ports_.size());
    for (std::size_t old : oldRows) {
        assert(ports_.at(old) != nullptr);  // each old row taken once
        reordered.push_back(std::move(ports_.at(old)));
    }
    ports_ = std::move(reordered);
}

void CPortController::startPort(int row) {
    if (!validRow(row) || ports_[row]->isStarted()) {
        return;  // a port never gets a second worker
    }
    startWorker(*ports_[row]);
}

void CPortController::startWorker(ForwardingPort& record, std::shared_ptr<UniqueFd> socket) {
    auto counters = std::make_shared<PortCounters>(record, logsConnections());
    record.openError = 0;
    std::unique_ptr<CThreadPort> worker = CreateWorker(record, captureLog_);
    // The id and handle go into the record first, so that the worker's copy carries them.
    record.threadId = worker->threadId();
    record.threadHandle = worker->threadHandle();
    worker->setPortCopy(record.deepCopy());
    worker->setCounters(counters);
    if (socket) {
        worker->setInheritedSocket(std::move(*socket));
    }
    if (WorkerThread::resume(std::move(worker))) {
        workerCounters_.push_back(WorkerCounters{record.threadId, std::move(counters)});
    } else {
        // No thread could be created: the port stays stopped.
        record.threadId = 0;
        record.threadHandle = ThreadHandle();
    }
}

void CPortController::stopPort(int row) {
    if (validRow(row)) {
        PostThreadMessage(ports_[row]->threadId, WM_PORT_STOP, 0);
    }
}

void CPortController::startAll() {
    for (std::size_t row = 0; row < ports_.size(); ++row) {
        startPort(static_cast<int>(row));
    }
}

void CPortController::stopAll() {
    for (std::size_t row = 0; row < ports_.size(); ++row) {
        stopPort(static_cast<int>(row));
    }
}

void CPortController::requestRestart(int row) {
    if (validRow(row)) {
        PostThreadMessage(ports_[row]->threadId, WM_PORT_RESTART, 0);
    }
}

bool CPortController::handleNotice(const Message& message) {
    auto threadId = static_cast<ThreadId>(message.wParam);
    switch (message.message) {
        case WM_PORT_STARTED:
            onPortStarted(threadId, message.handle);
            return true;
        case WM_PORT_STOP:
            onPortStopped(threadId, static_cast<int>(message.lParam));
            return true;
        case WM_PORT_RESTART:
            onPortRestart(threadId, message.descriptor);
            return true;
        default:
            return false;
    }
}

void CPortController::onPortStarted(ThreadId threadId, const ThreadHandle& threadHandle) {
    liveWorkers_.push_back(WorkerEntry{threadHandle, threadId});
    int row = rowOf(threadId);
    if (row >= 0) {
        view_.setRunning(static_cast<std::size_t>(row), true, 0);
    }
}

void CPortController::onPortStopped(ThreadId threadId, int error) {
    forgetWorker(threadId);
    forgetCounters(threadId);
    int row = rowOf(threadId);
    if (row >= 0) {
        ports_[row]->threadId = 0;
        ports_[row]->threadHandle = ThreadHandle();
        ports_[row]->openError = error;
        view_.setRunning(static_cast<std::size_t>(row), false, error);
    }
}

void CPortController::onPortRestart(ThreadId threadId, std::shared_ptr<UniqueFd> socket) {
    forgetWorker(threadId);
    forgetCounters(threadId);
    int row = rowOf(threadId);
    if (row >= 0) {
        // Follows the record's protocol and place as they are now.
        startWorker(*ports_[row], std::move(socket));
    }
}

void CPortController::shutdown(std::chrono::milliseconds wait) {
    shutDown_ = true;
    for (const WorkerEntry& entry : liveWorkers_) {
        PostThreadMessage(entry.threadId, WM_PORT_STOP, 1);
    }
    for (const WorkerEntry& entry : liveWorkers_) {
        entry.threadHandle.wait(wait);
    }
    liveWorkers_.clear();
    drainConnectionLog();  // the connections that the stop ended
    workerCounters_.clear();
    recent_.clear();
    ports_.clear();
}

bool CPortController::isRunning(std::size_t row) const {
    ThreadId id = ports_.at(row)->threadId;
    return id != 0 && std::any_of(liveWorkers_.begin(), liveWorkers_.end(),
                                  [&](const WorkerEntry& entry) { return entry.threadId == id; });
}

std::shared_ptr<const PortCounters> CPortController::counters(std::size_t row) const {
    ThreadId id = ports_.at(row)->threadId;
    for (const WorkerCounters& worker : workerCounters_) {
        if (id != 0 && worker.threadId == id) {
            return worker.counters;
        }
    }
    return nullptr;
}

void CPortController::setConnectionLog(ConnectionLog log) {
    connectionLog_ = std::move(log);
}

void CPortController::drainConnectionLog() {
    for (const WorkerCounters& worker : workerCounters_) {
        drain(worker.threadId, *worker.counters);
    }
}

void CPortController::keepRecentConnections(std::size_t count) {
    recentLimit_ = count;
}

std::vector<ConnectionRecord> CPortController::recentConnections(std::size_t row) const {
    auto found = recent_.find(ports_.at(row).get());
    if (found == recent_.end()) {
        return {};
    }
    return {found->second.begin(), found->second.end()};
}

// The worker's queued records go to the log and to its port's recent ones.
void CPortController::drain(ThreadId threadId, PortCounters& counters) {
    if (!counters.logsConnections()) {
        return;
    }
    const int row = rowOf(threadId);
    for (ConnectionRecord& record : counters.takeConnectionLog()) {
        if (connectionLog_) {
            connectionLog_(record);
        }
        if (row < 0 || recentLimit_ == 0) {
            continue;
        }
        std::deque<ConnectionRecord>& kept = recent_[ports_[row].get()];
        kept.push_back(std::move(record));
        while (kept.size() > recentLimit_) {
            kept.pop_front();
        }
    }
}

int CPortController::rowOf(ThreadId threadId) const {
    if (threadId == 0) {
        return -1;
    }
    auto found = std::find_if(ports_.begin(), ports_.end(),
                              [&](const auto& port) { return port->threadId == threadId; });
    return found == ports_.end() ? -1 : static_cast<int>(found - ports_.begin());
}

// The worker has ended: its last records go to the log, and its counters are let go.
void CPortController::forgetCounters(ThreadId threadId) {
    auto found =
        std::find_if(workerCounters_.begin(), workerCounters_.end(),
                     [&](const WorkerCounters& worker) { return worker.threadId == threadId; });
    if (found != workerCounters_.end()) {
        drain(threadId, *found->counters);
        workerCounters_.erase(found);
    }
}

void CPortController::forgetWorker(ThreadId threadId) {
    auto found = std::find_if(liveWorkers_.begin(), liveWorkers_.end(),
                              [&](const WorkerEntry& entry) { return entry.threadId == threadId; });
    if (found != liveWorkers_.end()) {
        liveWorkers_.erase(found);
    }
}

}  // namespace tarnwick
