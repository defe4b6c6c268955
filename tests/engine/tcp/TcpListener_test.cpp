// The listener's life as its owner sees it: the notices it posts, and what happens to
// its sessions when it stops.
#include <gtest/gtest.h>

#include "tests/engine/tcp/TcpTestSupport.h"
#include "tests/support/TestBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace testing;  // the helpers of TcpTestSupport.h and TestBackend.h

// After the listener's thread has ended, nothing more arrives for its owner.
void ExpectNoFurtherNotice(PortHarness& port) {
    ASSERT_TRUE(port.listener.threadHandle.wait(10s));
    EXPECT_EQ(port.owner.tryTake(), std::nullopt);
}

TEST(TcpListener, PortInUseAnswersStopAndNeverStarted) {
    TestBackend backend("D:");
    PortHarness first(StandardPort(backend.port()));
    ASSERT_TRUE(first.start());

    PortHarness second(StandardPort(backend.port()));
    second.launch(first.record.listenPort);
    auto notice = second.owner.waitFor(10s);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->message, WM_PORT_STOP);
    EXPECT_EQ(notice->wParam, second.listener.threadId);
    EXPECT_EQ(notice->lParam, EADDRINUSE);  // why it could not listen
    ExpectNoFurtherNotice(second);

    // The first listener still works.
    UniqueFd client = first.connect();
    EXPECT_EQ(ReadUpTo(client.get(), 2), "D:");
    ASSERT_TRUE(first.request(WM_PORT_STOP, 0));
}

TEST(TcpListener, StopEndsEverySessionBeforeItAnswers) {
    TestBackend backend("D:");
    PortHarness port(StandardPort(backend.port()));
    ASSERT_TRUE(port.start());
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(port.connect());
        ASSERT_EQ(ReadUpTo(clients.back().get(), 2), "D:");  // session relaying
    }

    auto answer = port.request(WM_PORT_STOP, 0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message, WM_PORT_STOP);
    EXPECT_EQ(answer->wParam, port.listener.threadId);
    EXPECT_EQ(answer->lParam, 0);
    for (UniqueFd& client : clients) {
        EXPECT_TRUE(PeerClosed(client.get(), 1s));  // closed by the time of the answer
    }
    ExpectNoFurtherNotice(port);
    EXPECT_FALSE(port.connect().valid());  // nothing listens any more
}

TEST(TcpListener, RestartIsAnsweredWithRestartOnly) {
    TestBackend backend("D:");
    PortHarness port(StandardPort(backend.port()));
    ASSERT_TRUE(port.start());
    UniqueFd client = port.connect();
    ASSERT_EQ(ReadUpTo(client.get(), 2), "D:");

    auto answer = port.request(WM_PORT_RESTART, 0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message, WM_PORT_RESTART);
    EXPECT_EQ(answer->wParam, port.listener.threadId);
    EXPECT_TRUE(PeerClosed(client.get(), 1s));
    ExpectNoFurtherNotice(port);

    // A fresh listener binds the same port again at once, old connections notwithstanding.
    PortHarness again(StandardPort(backend.port()));
    again.launch(port.record.listenPort);
    auto started = again.owner.waitFor(10s);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->message, WM_PORT_STARTED);
    ASSERT_TRUE(again.request(WM_PORT_STOP, 0));
}

TEST(TcpListener, QuietStopAnswersNothing) {
    TestBackend backend("D:");
    PortHarness port(StandardPort(backend.port()));
    ASSERT_TRUE(port.start());
    UniqueFd client = port.connect();
    ASSERT_EQ(ReadUpTo(client.get(), 2), "D:");
    PostThreadMessage(port.listener.threadId, WM_PORT_STOP, 1);
    ExpectNoFurtherNotice(port);
    EXPECT_TRUE(PeerClosed(client.get(), 1s));
}

TEST(TcpListener, StopPostedBeforeTheThreadRunsEndsItWithoutListening) {
    TestBackend backend("D:");
    PortHarness port(StandardPort(backend.port()));
    auto worker = std::make_unique<CThreadListenTCP>(port.captureLog);
    testing::ReservedPort reserved;
    port.record.listenPort = reserved.port();
    port.listener = WorkerEntry{worker->threadHandle(), worker->threadId()};
    worker->setPortCopy(port.record.deepCopy());
    PostThreadMessage(port.listener.threadId, WM_PORT_STOP, 0);
    ASSERT_TRUE(WorkerThread::resume(std::move(worker)));
    auto answer = port.owner.waitFor(10s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message, WM_PORT_STOP);
    ExpectNoFurtherNotice(port);  // in particular no WM_PORT_STARTED
}

TEST(TcpListener, EverySessionGetsItsOwnCopySoEachFirstPacketIsCaptured) {
    TestBackend backend("D:");
    ForwardingPort record = StandardPort(backend.port());
    record.appendRule(TextRule("never", backend.port()));
    record.captureFirstPacket = 1;
    PortHarness port(std::move(record));
    ASSERT_TRUE(port.start());
    const std::vector<std::string> pieces = {"first", "second", "third"};
    for (const std::string& piece : pieces) {
        UniqueFd client = port.connect();
        ASSERT_EQ(::send(client.get(), piece.data(), piece.size(), 0),
                  static_cast<ssize_t>(piece.size()));
        EXPECT_EQ(ReadUpTo(client.get(), 2 + piece.size()), "D:" + piece);
    }
    EXPECT_EQ(port.captureLog->dumps(), pieces);
    ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
}

TEST(TcpListener, SessionThatCannotBeCreatedClosesItsConnectionAndListeningGoesOn) {
    TestBackend backend("D:");
    PortHarness port(StandardPort(backend.port()));
    ASSERT_TRUE(port.start());
    WorkerThread::failNextResumesForTesting(1);
    UniqueFd refused = port.connect();
    EXPECT_TRUE(PeerClosed(refused.get(), 5s));
    UniqueFd served = port.connect();
    EXPECT_EQ(ReadUpTo(served.get(), 2), "D:");
    EXPECT_EQ(backend.connectionCount(), 1u);
    ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
}

}  // namespace
}  // namespace tarnwick
