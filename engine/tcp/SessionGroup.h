#pragma once

#include <atomic>
#include <cstddef>

#include "base/Ids.h"

namespace tarnwick {

// What a listener shares with the sessions it starts, which run on any loop: how many of
// them still run, and whether the listener waits for the last one to end. A session that
// ends while the listener waits, and leaves none running, tells the listener with
// WM_SESSION_ENDED (wParam 0), so that a stopping listener learns at once that it may
// answer, without asking its sessions for answers one by one.
class SessionGroup {
public:
    explicit SessionGroup(ThreadId listener) : listener_(listener) {}

    // The listener, before it starts a session.
    void started() { running_.fetch_add(1); }
    // A session, once, as it is destroyed (also one that never ran).
    void ended();
    // The listener, once, when it starts waiting: true when none runs, else the last one
    // to end will tell it.
    bool waitForAll();

private:
    const ThreadId listener_;
    // Sequentially consistent, both: of a listener that starts waiting and a session that
    // ends as the last one, at least one sees the other.
    std::atomic<std::size_t> running_{0};
    std::atomic<bool> waiting_{false};
};

}  // namespace tarnwick
