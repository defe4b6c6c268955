#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace tarnwick {

using TimerId = std::uint64_t;

// The repeating timers of one loop. Ids come from a counter and are never reused; of two
// timers due at the same moment the one set first fires first. A worker has a timer or
// two at most, so a small vector scanned linearly beats any heap. Loop thread only.
class TimerList {
public:
    using Clock = std::chrono::steady_clock;

    // A timer that falls due every `interval` (at least 1 ms) from `now` on. Intervals too
    // large to add to the clock are treated as "never".
    TimerId add(std::chrono::milliseconds interval, Clock::time_point now);
    // Stops a timer; unknown or already stopped ids are ignored.
    void kill(TimerId id);
    bool alive(TimerId id) const;
    bool empty() const { return timers_.empty(); }

    // Milliseconds until the nearest timer falls due, rounded up (0 = due now), or -1
    // when there is none; capped so that it fits poll's time-out.
    int msUntilNext(Clock::time_point now) const;

    // The timers due at `now`, earliest first, each re-armed for its next expiry before
    // any callback runs, so a callback may set or kill timers freely.
    std::vector<TimerId> takeDue(Clock::time_point now);

private:
    struct Timer {
        TimerId id;
        Clock::time_point due;
        std::chrono::milliseconds interval;
    };
    static Clock::time_point addClamped(Clock::time_point from, std::chrono::milliseconds by);

    std::vector<Timer> timers_;  // in order of id, which is the order they were set
    TimerId lastId_ = 0;
};

}  // namespace tarnwick
