#include "engine/worker/WorkerThread.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <utility>

#include "engine/loop/EventLoop.h"
#include "engine/loop/LoopSet.h"
#include "engine/worker/ThreadRegistry.h"
#include "engine/worker/WorkerInbox.h"

namespace tarnwick {

namespace {
std::atomic<int> resumesToFail{0};

bool TakeInjectedFailure() {
    int left = resumesToFail.load();
    while (left > 0 && !resumesToFail.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

// The loop serving the calling worker: its handlers run nowhere else.
EventLoop& ServingLoop() {
    EventLoop* loop = EventLoop::current();
    if (loop == nullptr) {
        std::abort();  // a worker's loop-only call from outside its loop
    }
    return *loop;
}
}  // namespace

WorkerThread::WorkerThread(std::uint32_t startMessage)
    : inbox_(std::make_shared<WorkerInbox>()),
      id_(ThreadRegistry::instance().add(inbox_)),
      handle_(ThreadHandle::create()),
      startMessage_(startMessage) {
    inbox_->setId(id_);  // before anything can place the worker, the only use of it
}

WorkerThread::~WorkerThread() {
    if (EventLoop* loop = EventLoop::current(); loop != nullptr) {
        for (TimerId timer : timers_) {
            loop->killTimer(timer);
        }
    }
    inbox_->close();
    ThreadRegistry::instance().remove(id_);
    handle_.markFinished();
}

void WorkerThread::failNextResumesForTesting(int count) {
    resumesToFail.store(count);
}

bool WorkerThread::resume(std::unique_ptr<WorkerThread> worker) {
    if (TakeInjectedFailure()) {
        return false;  // the worker is destroyed on return
    }
    std::shared_ptr<LoopInbox> loop = LoopSet::instance().next();
    if (!loop) {
        return false;
    }
    std::shared_ptr<WorkerInbox> inbox = worker->inbox_;
    Message first{worker->startMessage_, 0, 0, {}, {}};
    return inbox->place(std::move(loop), std::move(worker), std::move(first));
}

void WorkerThread::onMessage(const Message&) {}
void WorkerThread::onTimer(TimerId) {}

TimerId WorkerThread::setTimer(std::chrono::milliseconds interval) {
    TimerId id = ServingLoop().setTimer(id_, interval);
    timers_.push_back(id);
    return id;
}

void WorkerThread::killTimer(TimerId id) {
    ServingLoop().killTimer(id);
    std::erase(timers_, id);
}

void WorkerThread::quit() {
    ServingLoop().retire(id_);
}

}  // namespace tarnwick
