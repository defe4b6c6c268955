#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/event/Immortal.h"

namespace tarnwick {

// OS threads kept for reuse. When the body a thread was started for returns, the thread
// waits here for the next body instead of exiting, so a worker that starts while another
// has just ended costs a wake-up rather than creating a thread and tearing one down (the
// stack's pages are freed and faulted in again, the signal mask is set twice, and so on).
// At most MAX_IDLE threads wait, each for at most IDLE_TIMEOUT; then it exits, so a quiet
// process soon holds no more threads than it uses. Safe to call from any thread.
class ThreadCache {
public:
    using Body = void (*)(void* argument);

    static constexpr std::size_t MAX_IDLE = 64;
    static constexpr std::chrono::milliseconds IDLE_TIMEOUT{2000};

    static ThreadCache& instance();

    // Runs body(argument) on a waiting thread, else on a new detached one with a stack of
    // `stackSize` bytes. Returns false, having run nothing, when no thread can be created.
    bool run(Body body, void* argument, std::size_t stackSize);

    ThreadCache(const ThreadCache&) = delete;
    ThreadCache& operator=(const ThreadCache&) = delete;

private:
    // What a thread runs next; shared by the thread and, while it hands work over, run().
    struct Slot {
        std::condition_variable wake;
        Body body = nullptr;
        void* argument = nullptr;
    };

    friend union Immortal<ThreadCache>;  // builds the one instance
    ThreadCache() = default;
    static void* threadMain(void* slot);  // takes a std::shared_ptr<Slot>*
    bool startThread(Body body, void* argument, std::size_t stackSize);
    bool waitForWork(const std::shared_ptr<Slot>& slot);

    // The thread cache's lock, one of the five kinds of lock in the engine; guards the
    // list and every listed slot's body and argument.
    std::mutex mutex_;
    std::vector<std::shared_ptr<Slot>> idle_;  // most recently parked last: the warmest stack
};

}  // namespace tarnwick
