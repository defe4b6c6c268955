#include "engine/loop/TimerQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using Clock = TimerQueue::Clock;

TEST(TimerQueue, EqualDeadlinesFireInTheOrderSetAndEarlierDeadlinesFirst) {
    TimerQueue timers;
    const Clock::time_point start = Clock::now();
    TimerId late = timers.add(20ms, start);
    TimerId firstOfTwo = timers.add(10ms, start);
    TimerId secondOfTwo = timers.add(10ms, start);
    TimerId notYet = timers.add(30ms, start);
    (void)notYet;

    EXPECT_TRUE(timers.takeDue(start + 9ms).empty());
    EXPECT_EQ(timers.takeDue(start + 20ms), (std::vector<TimerId>{firstOfTwo, secondOfTwo, late}));
}

TEST(TimerQueue, TimersRepeatFromTheirLastExpiryUntilKilled) {
    TimerQueue timers;
    const Clock::time_point start = Clock::now();
    TimerId id = timers.add(10ms, start);
    EXPECT_EQ(timers.takeDue(start + 10ms), std::vector<TimerId>{id});
    EXPECT_TRUE(timers.takeDue(start + 19ms).empty());
    EXPECT_EQ(timers.takeDue(start + 20ms), std::vector<TimerId>{id});

    timers.kill(id);
    timers.kill(id);  // twice, and unknown ids, are harmless
    timers.kill(12345);
    EXPECT_FALSE(timers.alive(id));
    EXPECT_TRUE(timers.takeDue(start + 1h).empty());
    EXPECT_EQ(timers.msUntilNext(start), -1);
}

TEST(TimerQueue, TimeOutReachesTheNearestTimerRoundedUp) {
    struct Case {
        std::chrono::nanoseconds elapsed;
        int expected;
    };
    const Case cases[] = {
        {0ns, 10}, {1ns, 10}, {999'999ns, 10}, {1ms, 9}, {9'000'001ns, 1}, {10ms, 0}, {1s, 0},
    };
    TimerQueue timers;
    const Clock::time_point start = Clock::now();
    timers.add(10ms, start);
    timers.add(50ms, start);
    for (const Case& c : cases) {
        EXPECT_EQ(timers.msUntilNext(start + c.elapsed), c.expected)
            << "after " << c.elapsed.count() << " ns";
    }
}

TEST(TimerQueue, HugeIntervalsNeitherOverflowNorFire) {
    TimerQueue timers;
    const Clock::time_point start = Clock::now();
    timers.add(std::chrono::milliseconds::max(), start);
    timers.add(std::chrono::milliseconds(LLONG_MAX / 2), start);
    EXPECT_EQ(timers.msUntilNext(start), INT_MAX);
    EXPECT_TRUE(timers.takeDue(start + std::chrono::hours(24 * 365 * 100)).empty());
}

TEST(TimerQueue, ZeroIntervalIsOneMillisecond) {
    TimerQueue timers;
    const Clock::time_point start = Clock::now();
    TimerId id = timers.add(0ms, start);
    EXPECT_TRUE(timers.takeDue(start).empty());
    EXPECT_EQ(timers.takeDue(start + 1ms), std::vector<TimerId>{id});
}

// A loop holds a timer for every connection that waits: 100,000 at once, some killed
// before they fall due, the rest fire in order of deadline and, for equal deadlines, in the
// order set.
TEST(TimerQueue, HundredThousandTimersFireInOrderAndKilledOnesNever) {
    TimerQueue timers;
    const Clock::time_point start = Clock::now();
    struct Set {
        TimerId id;
        int delayMs;
    };
    std::vector<Set> set;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 100000; ++i) {
        seed = seed * 1103515245u + 12345u;
        const int delay = 1 + static_cast<int>((seed >> 8) % 1000);
        set.push_back(Set{timers.add(std::chrono::milliseconds(delay), start), delay});
    }
    std::vector<Set> alive;
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i % 3 == 0) {
            timers.kill(set[i].id);
        } else {
            alive.push_back(set[i]);
        }
    }
    std::stable_sort(alive.begin(), alive.end(),
                     [](const Set& a, const Set& b) { return a.delayMs < b.delayMs; });
    std::vector<TimerId> expected;
    for (const Set& timer : alive) {
        expected.push_back(timer.id);
    }
    std::vector<TimerId> fired;
    for (int ms = 1; ms <= 1000; ++ms) {
        for (TimerId id : timers.takeDue(start + std::chrono::milliseconds(ms))) {
            fired.push_back(id);
            timers.kill(id);
        }
    }
    EXPECT_EQ(fired, expected);
    EXPECT_TRUE(timers.empty());
}

}  // namespace
}  // namespace tarnwick
