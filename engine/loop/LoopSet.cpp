#include "engine/loop/LoopSet.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "engine/loop/EventLoop.h"

namespace tarnwick {

LoopSet& LoopSet::instance() {
    // Never destroyed: the loops run until the process exits, and may still post then.
    static Immortal<LoopSet> immortal;
    return immortal.object;
}

unsigned LoopSet::CpuCount() {
    cpu_set_t cpus;
    if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&cpus));
    }
    unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

bool LoopSet::configure(unsigned count) {
    std::lock_guard lock(configureMutex_);
    if (!configurable_ || count > MAX_LOOPS) {
        return false;
    }
    wanted_ = count;
    return true;
}

bool LoopSet::start() {
    std::call_once(started_, [this] {
        unsigned count;
        {
            std::lock_guard lock(configureMutex_);
            configurable_ = false;
            count = wanted_ != 0 ? wanted_ : CpuCount();
        }
        std::latch ready(count);
        for (unsigned index = 0; index < count; ++index) {
            auto inbox = std::make_shared<LoopInbox>();
            try {
                std::thread(&LoopSet::loopMain, inbox, index, std::ref(ready)).detach();
            } catch (const std::system_error&) {
                ready.count_down(count - index);  // serve with the loops there are
                break;
            }
            loops_.push_back(std::move(inbox));
        }
        ready.wait();  // each loop holds its descriptors and serves its inbox from now on
    });
    return !loops_.empty();
}

std::size_t LoopSet::size() {
    start();
    return loops_.size();
}

std::shared_ptr<LoopInbox> LoopSet::next() {
    if (!start()) {
        return nullptr;
    }
    // Of equally loaded loops, each placing thread takes them in turn, from a place of its
    // own, so two listeners do not pile their first connections onto the same loop.
    static std::atomic<unsigned> firstTurns{1};
    thread_local unsigned turn = firstTurns.fetch_add(1, std::memory_order_relaxed);
    const std::size_t count = loops_.size();
    const std::size_t first = turn++ % count;
    std::size_t least = first;
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t index = (first + i) % count;
        if (loops_[index]->load() < loops_[least]->load()) {
            least = index;
        }
    }
    const EventLoop* own = EventLoop::current();
    if (own != nullptr && own->inbox()->load() <= loops_[least]->load() + LOCAL_SLACK) {
        return own->inbox();
    }
    return loops_[least];
}

// A loop thread: SIGPIPE stays blocked here (splice has no MSG_NOSIGNAL, and a gone peer
// must be an error code, not the end of the process); an exception from a handler ends
// the process with its reason, since none may end a loop silently.
void LoopSet::loopMain(std::shared_ptr<LoopInbox> inbox, std::size_t index,
                       std::latch& ready) noexcept {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    ::pthread_setname_np(::pthread_self(), ("tw-loop-" + std::to_string(index)).c_str());
    EventLoop loop(std::move(inbox));
    ready.count_down();
    try {
        loop.run();
    } catch (...) {
        std::terminate();
    }
}

}  // namespace tarnwick
