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
// Placement weighs the loops by how many workers each serves. A worker placed from a loop
// (a session its listener accepted) stays on that loop while the loop serves no more than
// LOCAL_SLACK workers above the least loaded one; otherwise, and for a worker placed from
// elsewhere (a port the controller starts), it goes to the least loaded loop, equally
// loaded ones taken in turn. Handing a connection to another loop costs a wake-up of that
// loop, two context switches where its thread sleeps, and on a machine whose CPUs are
// busy that is most of what a short connection costs; so a lightly loaded port serves
// its connections where it accepts them, and a busy one spreads them over every loop.
// Safe to call from any thread.
class LoopSet {
public:
    // Refused above this.
    static constexpr unsigned MAX_LOOPS = 256;
    // How many more workers than the least loaded loop a loop may serve and still keep
    // the sessions its own listeners accept.
    static constexpr std::size_t LOCAL_SLACK = 32;

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
