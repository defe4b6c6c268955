// A worker's handle: a wait that times out while the thread runs and returns once it has
// ended, on the bare handle and on a real worker's.
#include "base/ThreadHandle.h"

#include <gtest/gtest.h>

#include "tests/support/EventTestSupport.h"
#include "tests/support/TestMessage.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::TEST_MESSAGE;
using testing::TestWorker;

TEST(ThreadHandle, WaitTimesOutUntilFinishedThenReturnsAtOnce) {
    ThreadHandle handle = ThreadHandle::create();
    ThreadHandle copy = handle;
    EXPECT_FALSE(copy.wait(std::chrono::milliseconds(10)));
    handle.markFinished();
    EXPECT_TRUE(copy.wait(std::chrono::milliseconds(0)));
    EXPECT_TRUE(copy.finished());
    EXPECT_TRUE(ThreadHandle().wait(std::chrono::milliseconds(0)));
}

TEST(ThreadHandle, WaitTimesOutWhileRunningAndReturnsOnceFinished) {
    auto worker = std::make_unique<TestWorker>([&](TestWorker& self, const Message& message) {
        if (message.message == TEST_MESSAGE) {
            self.end();
        }
    });
    ThreadHandle handle = worker->threadHandle();
    ThreadId id = worker->threadId();
    ASSERT_TRUE(WorkerThread::resume(std::move(worker)));
    EXPECT_FALSE(handle.wait(20ms));
    EXPECT_FALSE(handle.finished());
    ASSERT_TRUE(PostThreadMessage(id, TEST_MESSAGE));
    EXPECT_TRUE(handle.wait(10s));
    EXPECT_TRUE(handle.finished());
}

}  // namespace
}  // namespace tarnwick
