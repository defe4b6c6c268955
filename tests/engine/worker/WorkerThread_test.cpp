#include "engine/worker/WorkerThread.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/EventTestSupport.h"
#include "tests/support/TestMessage.h"
#include "engine/EngineMessages.h"
#include "engine/worker/Mailbox.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::TEST_MESSAGE;
using testing::TestWorker;

// Forwards every message it handles to a mailbox, and ends on TEST_MESSAGE with wParam 1.
std::unique_ptr<TestWorker> MakeReporter(MailboxId report) {
    return std::make_unique<TestWorker>([report](TestWorker& self, const Message& message) {
        PostThreadMessage(report, message.message, message.wParam, message.lParam);
        if (message.message == TEST_MESSAGE && message.wParam == 1) {
            self.end();
        }
    });
}

TEST(WorkerThread, ExistsSuspendedWithIdAndHandleAndQueuesPostsUntilResumed) {
    Mailbox report;
    auto worker = MakeReporter(report.id());
    ThreadId id = worker->threadId();
    ThreadHandle handle = worker->threadHandle();
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(handle);
    EXPECT_FALSE(handle.finished());

    ASSERT_TRUE(PostThreadMessage(id, TEST_MESSAGE, 0, 42));
    EXPECT_EQ(report.waitFor(20ms), std::nullopt);  // nothing runs before resume

    ASSERT_TRUE(WorkerThread::resume(std::move(worker)));
    std::vector<std::uint32_t> seen;
    for (int i = 0; i < 2; ++i) {
        auto message = report.waitFor(10s);
        ASSERT_TRUE(message);
        seen.push_back(message->message);
        if (message->message == WM_PORT_STARTED) {
            EXPECT_EQ(message->wParam, 0u);
            EXPECT_EQ(message->lParam, 0);
        }
    }
    // The posted message was queued first; the thread's own start message follows it.
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{TEST_MESSAGE, WM_PORT_STARTED}));

    ASSERT_TRUE(PostThreadMessage(id, TEST_MESSAGE, 1));
    EXPECT_TRUE(handle.wait(10s));
    EXPECT_FALSE(PostThreadMessage(id, TEST_MESSAGE));  // ended: the id is gone
}

// Counts its own destruction.
class CountedWorker : public TestWorker {
public:
    explicit CountedWorker(int& destroyed) : TestWorker({}), destroyed_(destroyed) {}
    ~CountedWorker() override { ++destroyed_; }

private:
    int& destroyed_;
};

TEST(WorkerThread, FailedResumeDestroysTheWorkerAndReportsFalse) {
    int destroyed = 0;
    auto worker = std::make_unique<CountedWorker>(destroyed);
    ThreadId id = worker->threadId();
    ThreadHandle handle = worker->threadHandle();
    WorkerThread::failNextResumesForTesting(1);
    EXPECT_FALSE(WorkerThread::resume(std::move(worker)));
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(handle.finished());
    EXPECT_FALSE(PostThreadMessage(id, TEST_MESSAGE));

    // Only the next one fails.
    Mailbox report;
    auto next = MakeReporter(report.id());
    ThreadHandle nextHandle = next->threadHandle();
    ThreadId nextId = next->threadId();
    ASSERT_TRUE(WorkerThread::resume(std::move(next)));
    PostThreadMessage(nextId, TEST_MESSAGE, 1);
    EXPECT_TRUE(nextHandle.wait(10s));
}

TEST(WorkerThread, RepeatingTimerFiresOnTheWorkersThreadUntilKilled) {
    std::vector<std::thread::id> firedOn;
    std::thread::id workerThread;
    auto worker = std::make_unique<TestWorker>(
        [&](TestWorker& self, const Message& message) {
            if (message.message == WM_PORT_STARTED) {
                workerThread = std::this_thread::get_id();
                self.startTimer(1ms);
            }
        },
        [&](TestWorker& self, TimerId id) {
            firedOn.push_back(std::this_thread::get_id());
            if (firedOn.size() == 3) {
                self.stopTimer(id);
                self.end();
            }
        });
    ThreadHandle handle = worker->threadHandle();
    ASSERT_TRUE(WorkerThread::resume(std::move(worker)));
    ASSERT_TRUE(handle.wait(10s));
    ASSERT_EQ(firedOn.size(), 3u);
    for (const std::thread::id& id : firedOn) {
        EXPECT_EQ(id, workerThread);
    }
    EXPECT_NE(workerThread, std::this_thread::get_id());
}

TEST(WorkerThreadDeathTest, ExceptionFromAHandlerAbortsTheProcessWithItsReason) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto worker = std::make_unique<TestWorker>([](TestWorker&, const Message&) {
                throw std::runtime_error("handler failed on purpose");
            });
            ThreadHandle handle = worker->threadHandle();
            WorkerThread::resume(std::move(worker));
            handle.wait(10s);
        },
        "handler failed on purpose");
}

}  // namespace
}  // namespace tarnwick
