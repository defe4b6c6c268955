#include "engine/event/WorkerThread.h"

#include <atomic>
#include <exception>
#include <utility>

#include "engine/event/EngineMessages.h"
#include "engine/event/ThreadCache.h"
#include "engine/event/ThreadRegistry.h"

namespace tarnwick {

namespace {
std::atomic<int> resumesToFail{0};

bool TakeInjectedFailure() {
    int left = resumesToFail.load();
    while (left > 0 && !resumesToFail.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}
}  // namespace

WorkerThread::WorkerThread()
    : inbox_(std::make_shared<LoopInbox>()),
      id_(ThreadRegistry::instance().add(inbox_)),
      handle_(ThreadHandle::create()) {}

WorkerThread::~WorkerThread() {
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
    WorkerThread* handedOver = worker.release();
    if (!ThreadCache::instance().run(&WorkerThread::threadMain, handedOver, STACK_SIZE)) {
        worker.reset(handedOver);  // not started: take it back, and destroy it on return
        return false;
    }
    return true;
}

void WorkerThread::threadMain(void* handedOver) noexcept {
    std::unique_ptr<WorkerThread> worker(static_cast<WorkerThread*>(handedOver));
    EventLoop loop(worker->inbox_);
    worker->loop_ = &loop;
    try {
        // Behind anything posted before the thread ran; the loop's first turn takes it
        // without waiting, so no wake-up is needed.
        worker->inbox_->deliverLazily(Message{WM_PORT_STARTED, 0, 0, {}});
        loop.run(*worker);
    } catch (...) {
        // Reports the exception and aborts: none may end a worker silently, and this
        // happens before unwinding could tear the loop down under live sockets.
        std::terminate();
    }
    // The worker goes first: its sockets leave the loop as they close.
    worker.reset();
}

void WorkerThread::onMessage(const Message&) {}
void WorkerThread::onTimer(TimerId) {}

TimerId WorkerThread::setTimer(std::chrono::milliseconds interval) {
    return loop_->setTimer(interval);
}

void WorkerThread::killTimer(TimerId id) {
    loop_->killTimer(id);
}

void WorkerThread::quit() {
    loop_->quit();
}

}  // namespace tarnwick
