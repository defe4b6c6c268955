#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {

// A timer's id within its loop; 0 is never one.
using TimerId = std::uint64_t;

// The repeating timers of one loop, which may hold many thousands at once (a Smart port's
// waiting connections and every connect in progress each have one): a binary heap ordered
// by deadline, and for equal deadlines by the order the timers were set. Adding, killing
// and the nearest deadline cost O(log n) or less; nothing is scanned.
//
// An id carries the serial of its setting (a counter, never reused) and the slot that holds
// it, so killing an id that has fired, been killed or never existed finds nothing and does
// nothing. Each timer names an owner (the worker that set it, 0 for none), so that the loop
// hands the expiry to it. Loop thread only.
class TimerQueue {
public:
    using Clock = std::chrono::steady_clock;

    struct Fired {
        TimerId id;
        std::uint32_t owner;
    };

    // A timer that falls due every `interval` (at least 1 ms) from `now` on. Intervals too
    // large to add to the clock are treated as "never".
    TimerId add(std::chrono::milliseconds interval, Clock::time_point now, std::uint32_t owner = 0);
    // Stops a timer; unknown or already stopped ids are ignored.
    void kill(TimerId id);
    bool alive(TimerId id) const;
    bool empty() const { return heap_.empty(); }
    std::size_t size() const { return heap_.size(); }

    // Milliseconds until the nearest timer falls due, rounded up (0 = due now), or -1
    // when there is none; capped so that it fits a poll's time-out.
    int msUntilNext(Clock::time_point now) const;

    // The timers due at `now`, earliest first, each re-armed for its next expiry before
    // any callback runs, so a callback may set or kill timers freely.
    void takeDue(Clock::time_point now, std::vector<Fired>& fired);
    std::vector<TimerId> takeDue(Clock::time_point now);

private:
    static constexpr int SLOT_BITS = 24;  // up to 16 million timers at once
    static constexpr std::uint32_t NO_SLOT = UINT32_MAX;
    static constexpr std::size_t RELEASE_ABOVE = 4096;  // slots kept by a loop gone idle

    struct Timer {
        Clock::time_point due;
        std::chrono::milliseconds interval{0};
        std::uint64_t serial = 0;  // 0: the slot is free
        std::uint32_t owner = 0;
        std::uint32_t place = NO_SLOT;  // index in heap_
    };

    static Clock::time_point addClamped(Clock::time_point from, std::chrono::milliseconds by);
    Timer* find(TimerId id);
    const Timer* find(TimerId id) const;
    bool earlier(std::uint32_t a, std::uint32_t b) const;
    void moveUp(std::size_t place);
    void moveDown(std::size_t place);
    void put(std::size_t place, std::uint32_t slot);
    void removeAt(std::size_t place);

    std::vector<Timer> timers_;  // by slot
    std::vector<std::uint32_t> freeSlots_;
    std::vector<std::uint32_t> heap_;  // slots, the nearest deadline first
    std::uint64_t lastSerial_ = 0;
};

}  // namespace tarnwick
