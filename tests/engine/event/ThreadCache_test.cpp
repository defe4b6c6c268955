#include "engine/event/ThreadCache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

#include "tests/engine/event/EventTestSupport.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kStack = 128 * 1024;

// Bodies record the OS thread they ran on; the test waits for each to finish.
struct Runs {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<pid_t> threads;
    int open = 0;  // bodies that are to wait until released
    bool released = false;

    static void Record(void* self) {
        auto& runs = *static_cast<Runs*>(self);
        std::unique_lock lock(runs.mutex);
        runs.threads.push_back(::gettid());
        runs.changed.notify_all();
        if (runs.open > 0) {
            --runs.open;
            runs.changed.wait(lock, [&] { return runs.released; });
        }
    }
    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return threads.size() >= count; });
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

// Bodies started one after another, each once the previous one has returned, share a
// thread or two instead of one each; a quiet cache then lets its threads go.
TEST(ThreadCacheTest, ReusesThreadsThenLetsThemGoWhenIdle) {
    const std::size_t threadsBefore = testing::LiveThreads();
    Runs runs;
    const std::size_t count = 20;
    for (std::size_t i = 1; i <= count; ++i) {
        ASSERT_TRUE(ThreadCache::instance().run(&Runs::Record, &runs, kStack));
        ASSERT_TRUE(runs.waitForCount(i));
    }
    {
        std::lock_guard lock(runs.mutex);
        EXPECT_LT(std::set<pid_t>(runs.threads.begin(), runs.threads.end()).size(), count / 2);
    }
    EXPECT_TRUE(testing::WaitUntil([&] { return testing::LiveThreads() <= threadsBefore; },
                                   ThreadCache::IDLE_TIMEOUT + 10s))
        << testing::LiveThreads() << " threads, " << threadsBefore << " before";
}

// Bodies that run at the same time each get a thread of their own, more than the cache
// keeps idle; when they end, at most MAX_IDLE stay, and those go too once idle.
TEST(ThreadCacheTest, ConcurrentBodiesGetThreadsOfTheirOwn) {
    const std::size_t threadsBefore = testing::LiveThreads();
    const std::size_t count = ThreadCache::MAX_IDLE + 8;
    Runs runs;
    runs.open = static_cast<int>(count);
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(ThreadCache::instance().run(&Runs::Record, &runs, kStack));
    }
    ASSERT_TRUE(runs.waitForCount(count));
    {
        std::lock_guard lock(runs.mutex);
        EXPECT_EQ(std::set<pid_t>(runs.threads.begin(), runs.threads.end()).size(), count);
    }
    runs.release();
    EXPECT_TRUE(testing::WaitUntil(
        [&] { return testing::LiveThreads() <= threadsBefore + ThreadCache::MAX_IDLE; }));
    EXPECT_TRUE(testing::WaitUntil([&] { return testing::LiveThreads() <= threadsBefore; },
                                   ThreadCache::IDLE_TIMEOUT + 10s));
}

}  // namespace
}  // namespace tarnwick
