#include "engine/loop/EventLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <mutex>
#include <condition_variable>
#include <string>
#include <vector>

#include "tests/support/EventTestSupport.h"
#include "engine/socket/Socket.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::SocketPair;

// Records what the loop delivers, as "m<number>" and "t<id>", and runs optional hooks.
class RecordingHandler : public EventHandler {
public:
    std::vector<std::string> events;
    std::function<void(const Message&)> onMessageHook;
    std::function<void(TimerId)> onTimerHook;

    void onMessage(const Message& message) override {
        events.push_back("m" + std::to_string(message.message));
        if (onMessageHook) {
            onMessageHook(message);
        }
    }
    void onTimer(TimerId id) override {
        events.push_back("t" + std::to_string(id));
        if (onTimerHook) {
            onTimerHook(id);
        }
    }
};

// A socket that counts and forwards its notices.
class HookSocket : public Socket {
public:
    int receives = 0;
    int sends = 0;
    int closes = 0;
    std::function<void()> onReceiveHook;
    std::function<void()> onSendHook;

protected:
    void OnReceive(int) override {
        ++receives;
        if (onReceiveHook) {
            onReceiveHook();
        }
    }
    void OnSend(int) override {
        ++sends;
        if (onSendHook) {
            onSendHook();
        }
    }
    void OnClose(int) override { ++closes; }
};

// Holds the test thread until the steady clock has moved `span` on, so a timer set
// before is certainly due.
void LetTimePass(std::chrono::milliseconds span) {
    auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// The loop serves one handler, as it would one worker among many.
class EventLoopTest : public ::testing::Test {
protected:
    static constexpr ThreadId WORKER = 7;
    std::shared_ptr<LoopInbox> inbox = std::make_shared<LoopInbox>();
    EventLoop loop{inbox};
    RecordingHandler handler;

    void SetUp() override { loop.attach(WORKER, handler); }
    void post(std::uint32_t number) { inbox->post(WORKER, Message{number, 0, 0, {}, {}}); }
    TimerId setTimer(std::chrono::milliseconds interval) { return loop.setTimer(WORKER, interval); }
    void TearDown() override { EXPECT_EQ(loop.socketCount(), 0u); }
};

TEST_F(EventLoopTest, MessageIsHandledBeforeATimerDueAtTheSameTime) {
    TimerId timer = setTimer(1ms);
    LetTimePass(2ms);
    post(7);
    handler.onTimerHook = [&](TimerId) { loop.quit(); };
    loop.run();
    EXPECT_EQ(handler.events, (std::vector<std::string>{"m7", "t" + std::to_string(timer)}));
}

TEST_F(EventLoopTest, ReadableDataIsHandledBeforeATimerDueAtTheSameTime) {
    SocketPair pair;
    HookSocket socket;
    ASSERT_TRUE(socket.Attach(pair.a.release()));
    ASSERT_EQ(::write(pair.b.get(), "x", 1), 1);
    setTimer(1ms);
    LetTimePass(2ms);
    std::vector<std::string> order;
    socket.onReceiveHook = [&] {
        char byte;
        socket.Receive(&byte, 1);
        order.push_back("data");
    };
    handler.onTimerHook = [&](TimerId) {
        order.push_back("timer");
        loop.quit();
    };
    loop.run();
    EXPECT_EQ(order, (std::vector<std::string>{"data", "timer"}));
}

TEST_F(EventLoopTest, DueTimerFiresWhileASocketKeepsTheLoopBusy) {
    SocketPair pair;
    HookSocket socket;
    ASSERT_TRUE(socket.Attach(pair.a.release()));
    ASSERT_EQ(::write(pair.b.get(), "x", 1), 1);  // never read: readable on every turn
    TimerId timer = setTimer(1ms);
    LetTimePass(2ms);
    socket.onReceiveHook = [&] {
        if (socket.receives == 1000) {
            loop.quit();  // the timer was starved
        }
    };
    handler.onTimerHook = [&](TimerId) { loop.quit(); };
    loop.run();
    EXPECT_EQ(handler.events, std::vector<std::string>{"t" + std::to_string(timer)});
    EXPECT_EQ(socket.receives, 1);  // the same turn: data first, then the timer
    socket.Close();
}

TEST_F(EventLoopTest, WritableNoticesComeOnlyWhileTheSocketAsksForThem) {
    SocketPair pair;
    HookSocket socket;
    ASSERT_TRUE(socket.Attach(pair.a.release()));
    socket.setWriteNotices(true);  // an empty socket is always writable
    socket.onSendHook = [&] {
        if (socket.sends == 3) {
            socket.setWriteNotices(false);
        }
    };
    TimerId end = setTimer(20ms);
    handler.onTimerHook = [&](TimerId id) {
        if (id == end) {
            loop.quit();
        }
    };
    loop.run();
    EXPECT_EQ(socket.sends, 3);
    EXPECT_EQ(socket.receives + socket.closes, 0);
    EXPECT_LE(loop.pollCount(), 8u) << "nothing asked for, nothing to wake up for";
    socket.Close();
}

TEST_F(EventLoopTest, TimerKilledByItsOwnOrAnotherCallbackFiresNoMore) {
    TimerId self = setTimer(1ms);
    TimerId killer = setTimer(1ms);
    TimerId victim = setTimer(1ms);  // due with killer, after it
    TimerId end = setTimer(40ms);
    LetTimePass(2ms);
    int selfCount = 0;
    int victimCount = 0;
    handler.onTimerHook = [&](TimerId id) {
        if (id == self) {
            ++selfCount;
            loop.killTimer(self);
        } else if (id == killer) {
            loop.killTimer(killer);
            loop.killTimer(victim);
        } else if (id == victim) {
            ++victimCount;
        } else if (id == end) {
            loop.quit();
        }
    };
    loop.run();
    EXPECT_EQ(selfCount, 1);
    EXPECT_EQ(victimCount, 0);
}

TEST_F(EventLoopTest, HugeDelayNeitherFiresNorSpins) {
    TimerId never = setTimer(std::chrono::milliseconds::max());
    TimerId end = setTimer(20ms);
    handler.onTimerHook = [&](TimerId id) {
        if (id == end) {
            loop.quit();
        }
    };
    loop.run();
    EXPECT_EQ(handler.events, std::vector<std::string>{"t" + std::to_string(end)});
    EXPECT_NE(never, end);
    // The first poll waits for the 20 ms timer; a few more at most if the kernel wakes
    // early. A clamped or overflowed time-out would spin hundreds of times.
    EXPECT_LE(loop.pollCount(), 5u);
}

TEST_F(EventLoopTest, QuitHandlesWhatWasPostedBeforeAndDropsEverythingAfter) {
    SocketPair pair;
    HookSocket socket;
    ASSERT_TRUE(socket.Attach(pair.a.release()));
    ASSERT_EQ(::write(pair.b.get(), "x", 1), 1);  // readable, but the quit comes first
    setTimer(1ms);
    LetTimePass(2ms);
    post(1);
    post(2);
    handler.onMessageHook = [&](const Message& message) {
        if (message.message == 1) {
            post(3);
            loop.quit();
            post(4);
        }
    };
    loop.run();
    EXPECT_EQ(handler.events, (std::vector<std::string>{"m1", "m2", "m3"}));
    EXPECT_EQ(socket.receives, 0);
    EXPECT_FALSE(inbox->post(WORKER, Message{5, 0, 0, {}, {}}));  // the loop has ended
    socket.Close();
}

TEST_F(EventLoopTest, SocketClosedByAnEarlierHandlerOfTheSameTurnGetsNothing) {
    SocketPair first;
    SocketPair second;
    HookSocket a;
    HookSocket b;
    ASSERT_TRUE(a.Attach(first.a.release()));
    ASSERT_TRUE(b.Attach(second.a.release()));
    ASSERT_EQ(::write(first.b.get(), "x", 1), 1);
    ASSERT_EQ(::write(second.b.get(), "x", 1), 1);
    // Whichever runs first closes the other, and puts a new socket on the freed
    // descriptor number, which must not inherit the old socket's readiness.
    HookSocket successor;
    SocketPair fresh;
    auto closeOther = [&](HookSocket& other) {
        int number = other.handle();
        other.Close();
        ASSERT_EQ(::dup2(fresh.a.get(), number), number);
        ASSERT_TRUE(successor.Attach(number));
        post(99);
    };
    a.onReceiveHook = [&] { closeOther(b); };
    b.onReceiveHook = [&] { closeOther(a); };
    handler.onMessageHook = [&](const Message&) { loop.quit(); };
    loop.run();
    EXPECT_EQ(a.receives + b.receives, 1);
    EXPECT_EQ(successor.receives + successor.closes, 0);
    a.Close();
    b.Close();
    successor.Close();
}

TEST_F(EventLoopTest, HangUpIsDeliveredOnceAsCloseAfterTheLastData) {
    SocketPair pair;
    HookSocket socket;
    ASSERT_TRUE(socket.Attach(pair.a.release()));
    ASSERT_EQ(::write(pair.b.get(), "abc", 3), 3);
    pair.b.reset();
    std::string received;
    socket.onReceiveHook = [&] {
        char buffer[2];
        long n = socket.Receive(buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        } else {
            socket.setReadNotices(false);  // end of data: only the hang-up is left
        }
    };
    TimerId end = setTimer(30ms);
    handler.onTimerHook = [&](TimerId id) {
        if (id == end) {
            loop.quit();
        }
    };
    loop.run();
    EXPECT_EQ(received, "abc");
    EXPECT_EQ(socket.closes, 1);
    socket.Close();
}

// Messages posted from another thread end a wait on nothing at all (no socket, no timer
// due), whether they land while the loop waits or just before: a ping-pong of posts, each
// answered before the next one goes. The loop holds two descriptors for it, its poll set
// and its waker, however many posts and workers it serves.
TEST(EventLoopWake, PostsFromAnotherThreadEndWaitsOnTwoDescriptorsPerLoop) {
    constexpr std::uint32_t ROUNDS = 300;
    constexpr ThreadId WORKER = 7;
    const std::size_t descriptorsBefore = testing::OpenDescriptors();
    auto inbox = std::make_shared<LoopInbox>();
    std::mutex mutex;
    std::condition_variable answered;
    std::uint32_t handled = 0;
    std::size_t descriptorsWhileRunning = 0;
    std::thread poster([&] {
        for (std::uint32_t round = 1; round <= ROUNDS; ++round) {
            inbox->post(WORKER, Message{round, 0, 0, {}, {}});
            std::unique_lock lock(mutex);
            if (!answered.wait_for(lock, 10s, [&] { return handled >= round; })) {
                return;  // the loop's safety timer ends the test
            }
        }
    });
    std::thread looper([&] {
        EventLoop loop(inbox);
        RecordingHandler handler;
        loop.attach(WORKER, handler);
        loop.setTimer(WORKER, 20s);  // only if a wake-up is lost
        handler.onTimerHook = [&](TimerId) { loop.quit(); };
        handler.onMessageHook = [&](const Message& message) {
            std::lock_guard lock(mutex);
            handled = message.message;
            answered.notify_one();
            if (handled == ROUNDS) {
                descriptorsWhileRunning = testing::OpenDescriptors();
                loop.quit();
            }
        };
        loop.run();
    });
    poster.join();
    looper.join();
    EXPECT_EQ(handled, ROUNDS);
    EXPECT_EQ(descriptorsWhileRunning, descriptorsBefore + 2);
}

TEST(EventLoopDeathTest, SecondLoopOnOneThreadAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            EventLoop first(std::make_shared<LoopInbox>());
            EventLoop second(std::make_shared<LoopInbox>());
        },
        "");
}

}  // namespace
}  // namespace tarnwick
