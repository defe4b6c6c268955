// A session on its own, with a mailbox in the listener's place.
#include "engine/tcp/CThreadTCP.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <thread>

#include "tests/engine/tcp/TcpTestSupport.h"
#include "tests/support/TestBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::PeerClosed;
using testing::ReadUpTo;
using testing::SocketPair;
using testing::StandardPort;
using testing::TestBackend;

struct Session {
    Mailbox listener;
    SocketPair connection;  // a: handed to the session; b: the client's end
    WorkerEntry entry;
    std::unique_ptr<CThreadTCP> worker;

    explicit Session(const ForwardingPort& port, std::shared_ptr<PortCounters> counters = nullptr) {
        ::fcntl(connection.a.get(), F_SETFL, O_NONBLOCK);  // as the listener's accept4 gives it
        worker = std::make_unique<CThreadTCP>(
            listener.id(), std::make_shared<const RoutingTable>(port.deepCopy()),
            std::move(connection.a), std::make_shared<testing::RecordingCaptureLog>(),
            std::move(counters));
        entry = WorkerEntry{worker->threadHandle(), worker->threadId()};
    }
    bool resume() { return WorkerThread::resume(std::move(worker)); }
};

TEST(CThreadTCP, RegistersOnceRelayingAndReportsItsEndToTheListener) {
    TestBackend backend("D:");
    Session session(StandardPort(backend.port()));
    ASSERT_TRUE(session.resume());
    auto started = session.listener.waitFor(10s);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->message, WM_SESSION_STARTED);
    EXPECT_EQ(started->wParam, session.entry.threadId);
    EXPECT_TRUE(started->handle == session.entry.threadHandle);
    EXPECT_EQ(ReadUpTo(session.connection.b.get(), 2), "D:");

    session.connection.b.reset();  // the client goes; the destination answers the FIN
    auto ended = session.listener.waitFor(10s);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->message, WM_SESSION_ENDED);
    EXPECT_EQ(ended->wParam, session.entry.threadId);
    EXPECT_TRUE(session.entry.threadHandle.wait(10s));
}

TEST(CThreadTCP, BytesOfAnOpenConnectionAreCountedWithinASecondAndTheEndIsLogged) {
    TestBackend backend("D:");
    ForwardingPort port = StandardPort(backend.port());
    auto counters = std::make_shared<PortCounters>(port, true);
    Session session(port, counters);
    ASSERT_TRUE(session.resume());
    EXPECT_EQ(ReadUpTo(session.connection.b.get(), 2), "D:");
    ASSERT_EQ(::send(session.connection.b.get(), "hello", 5, MSG_NOSIGNAL), 5);
    EXPECT_EQ(ReadUpTo(session.connection.b.get(), 5), "hello");

    // Still open: the counts catch up by the session's publishing timer (bounded wait).
    testing::WaitUntil([&] { return counters->snapshot().bytesToClients >= 7; });
    PortCounters::Snapshot open = counters->snapshot();
    EXPECT_EQ(open.bytesFromClients, 5u);
    EXPECT_EQ(open.bytesToClients, 7u);
    EXPECT_EQ(open.routedStandard, 1u);
    EXPECT_TRUE(counters->takeConnectionLog().empty());

    session.connection.b.reset();  // the client ends first
    ASSERT_TRUE(session.entry.threadHandle.wait(10s));
    std::vector<ConnectionRecord> log = counters->takeConnectionLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].end, EndReason::ClientClosed);
    EXPECT_EQ(log[0].route.kind, RouteKind::Standard);
    EXPECT_EQ(log[0].destination, "127.0.0.1:" + std::to_string(backend.port()));
    EXPECT_EQ(log[0].bytesFromClient, 5u);
    EXPECT_EQ(log[0].bytesToClient, 7u);
    EXPECT_EQ(counters->snapshot().bytesToClients, 7u);  // nothing counted twice
}

TEST(CThreadTCP, StopPostedBeforeTheThreadRunsEndsItQuietlyWithoutStarting) {
    TestBackend backend("D:");
    Session session(StandardPort(backend.port()));
    PostThreadMessage(session.entry.threadId, WM_PORT_STOP, 1);
    ASSERT_TRUE(session.resume());
    EXPECT_TRUE(session.entry.threadHandle.wait(10s));
    EXPECT_TRUE(PeerClosed(session.connection.b.get()));
    EXPECT_EQ(session.listener.tryTake(), std::nullopt);  // neither registered nor reported
    EXPECT_EQ(backend.connectionCount(), 0u);
}

// A listener whose accept queue is full: connection requests to it go unanswered.
struct SilentDestination {
    testing::LoopbackListener listener{0};
    std::vector<UniqueFd> fillers;
    SilentDestination() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(listener.port));
        for (int i = 0; i < 2; ++i) {
            fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            ::connect(fillers.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
    }
};

TEST(CThreadTCP, ConnectNeverAnsweredEndsAtItsLimitAndAStopEndsItAtOnce) {
    SilentDestination silent;
    const std::size_t base = testing::OpenDescriptors();
    {
        Session timedOut(StandardPort(silent.listener.port));
        timedOut.worker->setConnectTimeout(200ms);
        ASSERT_TRUE(timedOut.resume());
        EXPECT_TRUE(PeerClosed(timedOut.connection.b.get()));
        auto ended = timedOut.listener.waitFor(10s);
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->message, WM_SESSION_ENDED);
        EXPECT_TRUE(timedOut.entry.threadHandle.wait(10s));
    }
    // The thread's own descriptor goes a moment after its handle reports the end.
    ASSERT_TRUE(testing::WaitUntil([&] { return testing::OpenDescriptors() <= base; }));

    // Stopped while it connects (its connection to the destination is open), with the
    // whole connect limit still ahead.
    Session stopped(StandardPort(silent.listener.port));
    const std::size_t before = testing::OpenDescriptors();
    ASSERT_TRUE(stopped.resume());
    ASSERT_TRUE(testing::WaitUntil([&] { return testing::OpenDescriptors() > before; }));
    PostThreadMessage(stopped.entry.threadId, WM_PORT_STOP, 1);
    EXPECT_TRUE(stopped.entry.threadHandle.wait(1s));
    EXPECT_TRUE(PeerClosed(stopped.connection.b.get(), 1s));
    EXPECT_EQ(stopped.listener.tryTake(), std::nullopt);
}

TEST(CThreadTCP, SessionThatNeverRunsClosesTheConnectionItWasGiven) {
    Session session(StandardPort(1));
    WorkerThread::failNextResumesForTesting(1);
    EXPECT_FALSE(session.resume());
    EXPECT_TRUE(PeerClosed(session.connection.b.get(), 1s));
    EXPECT_EQ(session.listener.tryTake(), std::nullopt);
}

}  // namespace
}  // namespace tarnwick
