// What every port worker does when it is asked to end more than once.
#include "engine/CThreadPort.h"

#include <gtest/gtest.h>

#include <atomic>

#include "engine/EngineMessages.h"
#include "engine/worker/Mailbox.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// A port worker without a socket: it counts how often its port is opened.
class CountingPortWorker : public CThreadPort {
public:
    explicit CountingPortWorker(std::shared_ptr<std::atomic<int>> opens)
        : CThreadPort(nullptr), opens(std::move(opens)) {}

protected:
    int OpenPort() override {
        ++*opens;
        return 0;
    }
    bool ClosePort(bool) override { return true; }

private:
    std::shared_ptr<std::atomic<int>> opens;
};

TEST(CThreadPort, OnlyTheFirstOfTwoRequestsToEndIsAnsweredAndNothingOpens) {
    Mailbox owner;
    ForwardingPort port;
    port.ownerWindow = owner.id();
    auto opens = std::make_shared<std::atomic<int>>(0);
    auto worker = std::make_unique<CountingPortWorker>(opens);
    const ThreadId id = worker->threadId();
    const ThreadHandle handle = worker->threadHandle();
    worker->setPortCopy(port.deepCopy());
    // Both wait in the queue ahead of the start.
    PostThreadMessage(id, WM_PORT_STOP, 0);
    PostThreadMessage(id, WM_PORT_RESTART, 0);
    ASSERT_TRUE(WorkerThread::resume(std::move(worker)));

    ASSERT_TRUE(handle.wait(10s));
    auto answer = owner.tryTake();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message, WM_PORT_STOP);
    EXPECT_EQ(answer->wParam, id);
    EXPECT_EQ(owner.tryTake(), std::nullopt);
    EXPECT_EQ(*opens, 0);
}

}  // namespace
}  // namespace tarnwick
