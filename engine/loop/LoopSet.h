#pragma once

#include <cstddef>
#include <latch>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Immortal.h"
#include "engine/loop/LoopInbox.h"

namespace tarnwick {

// The process's event loops: a fixed set of threads, one per CPU unless configured
// otherwise, each running one EventLoop for the life of the process. Workers are placed
// on them (WorkerThread::resume) and stay on their loop; a loop serves any number.
//
// Placement is in turn: each thread that places workers (the controller's, a listener's
// loop) deals them out over the loops one after the other, from a starting point of its
// own, so the connections of one port spread evenly over every loop. Safe to call from
// any thread.
class LoopSet {
public:
    // Refused above this.
    static constexpr unsigned MAX_LOOPS = 256;

    static LoopSet& instance();

    // How many loops to run: 0 for one per CPU the process may use. Only before the loops
    // start; false afterwards, or for a count above MAX_LOOPS.
    bool configure(unsigned count);
    // Starts the loops, if they do not run yet, and returns once each is ready to serve.
    // False when not even one loop thread could be started.
    bool start();
    // The number of loops (starting them).
    std::size_t size();
    // The loop the calling thread places its next worker on; null when no loop runs.
    std::shared_ptr<LoopInbox> next();

    // The CPUs this process may run on.
    static unsigned CpuCount();

    LoopSet(const LoopSet&) = delete;
    LoopSet& operator=(const LoopSet&) = delete;

private:
    friend union Immortal<LoopSet>;  // builds the one instance
    LoopSet() = default;
    static void loopMain(std::shared_ptr<LoopInbox> inbox, std::size_t index,
                         std::latch& ready) noexcept;

    std::once_flag started_;
    unsigned wanted_ = 0;  // guarded by started_: read once, when the loops start
    bool configurable_ = true;
    std::mutex configureMutex_;                      // only between configure and the start
    std::vector<std::shared_ptr<LoopInbox>> loops_;  // written once, under started_
};

}  // namespace tarnwick
