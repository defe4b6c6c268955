#include "engine/worker/ThreadRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "tests/support/EventTestSupport.h"
#include "tests/support/TestMessage.h"
#include "engine/worker/Mailbox.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::TEST_MESSAGE;
using testing::TestWorker;

constexpr int SENDERS = 4;
constexpr int POSTS_PER_SENDER = 10000;

// Four threads post to `target`, each numbering its own messages from 0.
void PostFromFourThreads(ThreadId target) {
    std::vector<std::thread> senders;
    for (int sender = 0; sender < SENDERS; ++sender) {
        senders.emplace_back([target, sender] {
            for (int i = 0; i < POSTS_PER_SENDER; ++i) {
                ASSERT_TRUE(PostThreadMessage(target, TEST_MESSAGE, sender, i));
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
}

// Every message arrived once, and each sender's in the order it posted them.
void ExpectEachOnceInSenderOrder(const std::vector<Message>& received) {
    ASSERT_EQ(received.size(), static_cast<std::size_t>(SENDERS * POSTS_PER_SENDER));
    std::map<std::uintptr_t, std::intptr_t> next;
    for (const Message& message : received) {
        ASSERT_EQ(message.message, TEST_MESSAGE);
        ASSERT_EQ(message.lParam, next[message.wParam]) << "sender " << message.wParam;
        ++next[message.wParam];
    }
}

TEST(ThreadRegistry, PostsFromFourThreadsReachAMailboxOnceEachInOrder) {
    Mailbox mailbox;
    PostFromFourThreads(mailbox.id());
    std::vector<Message> received;
    while (auto message = mailbox.tryTake()) {
        received.push_back(*message);
    }
    ExpectEachOnceInSenderOrder(received);
}

TEST(ThreadRegistry, PostsFromFourThreadsReachAWorkerOnceEachInOrder) {
    std::vector<Message> received;  // touched by the worker only, until its handle is set
    auto worker = std::make_unique<TestWorker>([&](TestWorker& self, const Message& message) {
        if (message.message != TEST_MESSAGE) {
            return;
        }
        received.push_back(message);
        if (received.size() == SENDERS * POSTS_PER_SENDER) {
            self.end();
        }
    });
    ThreadHandle handle = worker->threadHandle();
    ThreadId id = worker->threadId();
    ASSERT_TRUE(WorkerThread::resume(std::move(worker)));
    PostFromFourThreads(id);
    ASSERT_TRUE(handle.wait(30s));
    ExpectEachOnceInSenderOrder(received);
}

TEST(ThreadRegistry, PostsToNoneUnknownOrEndedIdsFailQuietly) {
    ThreadId ended;
    {
        Mailbox gone;
        ended = gone.id();
    }
    Mailbox live;
    const ThreadId cases[] = {0, ended, live.id() + 1000};
    for (ThreadId id : cases) {
        EXPECT_FALSE(PostThreadMessage(id, TEST_MESSAGE)) << "id " << id;
    }
    EXPECT_TRUE(PostThreadMessage(live.id(), TEST_MESSAGE));
    EXPECT_FALSE(live.tryTake() == std::nullopt);
}

TEST(Mailbox, WaitReturnsAMessageAsItArrivesOrNothingAtTheDeadline) {
    Mailbox mailbox;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mailbox.waitFor(30ms), std::nullopt);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

    ThreadHandle handle = ThreadHandle::create();
    std::thread poster([&] { PostThreadMessage(mailbox.id(), TEST_MESSAGE, 1, 2, handle); });
    auto message = mailbox.waitFor(10s);
    poster.join();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->wParam, 1u);
    EXPECT_EQ(message->lParam, 2);
    EXPECT_TRUE(message->handle == handle);
}

TEST(Mailbox, NotifierRunsOnThePostingThreadAfterTheMessageIsQueued) {
    Mailbox mailbox;
    std::thread::id notifiedOn;
    bool queuedWhenNotified = false;
    mailbox.setNotifier([&] {
        notifiedOn = std::this_thread::get_id();
        queuedWhenNotified = mailbox.tryTake().has_value();
    });
    std::thread poster([&] { PostThreadMessage(mailbox.id(), TEST_MESSAGE); });
    std::thread::id posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(notifiedOn, posterId);
    EXPECT_TRUE(queuedWhenNotified);
}

}  // namespace
}  // namespace tarnwick
