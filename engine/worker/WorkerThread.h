#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/ThreadHandle.h"
#include "engine/loop/EventHandler.h"
#include "engine/loop/Message.h"
#include "engine/loop/TimerQueue.h"

namespace tarnwick {

class WorkerInbox;

// The base of every worker: an object with a thread id, a waitable handle, a message queue
// and timers, served by one of the process's event loops (LoopSet) for its whole life.
// The loop delivers its messages, timer expiries and socket notices one at a time, so
// nothing inside a worker needs a lock; a loop serves many workers, and a worker that
// waits (for a peer, a lookup, a timer) holds no thread.
//
// A worker is created suspended: constructing it registers its id and queue, so messages
// posted to it wait, but no loop serves it yet. The creator fills in its members and hands
// it to `resume`, which places it on a loop; the loop then owns it. It first gets the
// messages posted while it was suspended, then its start message (given by the subclass:
// the engine's workers start on WM_PORT_STARTED with both parameters 0). A worker ends
// itself with `quit`: what was posted to it before is still handled, then the loop destroys
// it, which kills its timers, unregisters its id and, last of all, marks the handle
// finished. So a worker may be asked to stop before it has started, and must cope with a
// start message that arrives after it has shut down.
class WorkerThread : public EventHandler {
public:
    ~WorkerThread() override;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    ThreadId threadId() const { return id_; }
    const ThreadHandle& threadHandle() const { return handle_; }

    // Places the worker on the next loop in turn (LoopSet), which owns it from then on.
    // When no loop can take it the worker is destroyed here, having run nothing, and false
    // is returned.
    static bool resume(std::unique_ptr<WorkerThread> worker);

    // Test hook: the next `count` calls of resume fail as if no loop could take the worker.
    static void failNextResumesForTesting(int count);

protected:
    // `startMessage`: the number of the message the worker gets once it runs.
    explicit WorkerThread(std::uint32_t startMessage);

    // Handlers, on the worker's loop. Messages that a worker does not handle are ignored.
    void onMessage(const Message& message) override;
    void onTimer(TimerId id) override;

    // On the worker's loop only. A timer repeats until killed, and dies with the worker.
    TimerId setTimer(std::chrono::milliseconds interval);
    void killTimer(TimerId id);
    // Ends the worker: messages posted before this are still handled, nothing after.
    void quit();

private:
    std::shared_ptr<WorkerInbox> inbox_;
    ThreadId id_;
    ThreadHandle handle_;
    std::uint32_t startMessage_;
    std::vector<TimerId> timers_;  // the live ones; a worker has a few at most
};

}  // namespace tarnwick
