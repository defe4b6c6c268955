#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "base/ThreadHandle.h"
#include "engine/event/EventHandler.h"
#include "engine/event/EventLoop.h"
#include "engine/event/LoopInbox.h"
#include "engine/event/Message.h"
#include "engine/event/TimerList.h"

namespace tarnwick {

// The base of every worker thread: an object with a thread id, a waitable handle and a
// message queue, whose own OS thread runs an event loop and delivers messages, timer
// expiries and socket notices to it one at a time.
//
// A worker is created suspended: constructing it (`std::make_unique<CThreadTCP>(...)`)
// registers its id and queue, so messages posted to it wait, but no thread runs yet. The
// creator fills in its members and hands it to `resume`, which gives the object to an OS
// thread of its own (a new one, or one that ThreadCache kept after its last worker).
// That thread posts itself WM_PORT_STARTED (0, 0) and runs the loop; when the loop ends,
// the thread destroys the worker, which unregisters the id and, last of all, marks the
// handle finished. That is how a worker deletes itself when its loop ends.
//
// Messages posted while the worker was suspended are queued ahead of WM_PORT_STARTED, so
// a worker may be asked to stop before it has started, and must cope with a start
// command that arrives after it has shut down.
class WorkerThread : public EventHandler {
public:
    // Each worker thread's stack. The relay's 1 KiB copy buffer and a name lookup fit with
    // room to spare; the stack is reserved address space, and only the pages touched count
    // (an idle relay thread holds two or three).
#if defined(__SANITIZE_ADDRESS__)
    static constexpr std::size_t STACK_SIZE = 1024 * 1024;  // instrumented frames are larger
#else
    static constexpr std::size_t STACK_SIZE = 128 * 1024;
#endif

    ~WorkerThread() override;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    ThreadId threadId() const {
        return id_;
    }
    const ThreadHandle& threadHandle() const {
        return handle_;
    }

    // Starts the worker's thread, which owns the worker from then on. When no thread can
    // be created the worker is destroyed here, having run nothing, and false is returned.
    static bool resume(std::unique_ptr<WorkerThread> worker);

    // Test hook: the next `count` calls of resume fail as if no thread could be created.
    static void failNextResumesForTesting(int count);

protected:
    WorkerThread();

    // Handlers, on the worker's thread. Messages that a worker does not handle are ignored.
    void onMessage(const Message& message) override;
    void onTimer(TimerId id) override;

    // On the worker's thread only.
    TimerId setTimer(std::chrono::milliseconds interval);
    void killTimer(TimerId id);
    // Ends the loop: messages posted before this are still handled, nothing after.
    void quit();

private:
    // Owns the worker from here on; anything it could throw ends the process.
    static void threadMain(void* worker) noexcept;

    std::shared_ptr<LoopInbox> inbox_;
    ThreadId id_;
    ThreadHandle handle_;
    EventLoop* loop_ = nullptr;  // does not own; set while the thread runs
};

}  // namespace tarnwick
