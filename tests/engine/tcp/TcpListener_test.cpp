// The listener's life as its owner sees it: the notices it posts, and what happens to
// its sessions when it stops.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tests/engine/tcp/TcpTestSupport.h"
#include "engine/socket/Resolver.h"
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

// Whether another socket can listen on `port` of 127.0.0.1 now, as another program could.
bool SomeoneElseCanListenOn(int port) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           ::listen(socket.get(), 1) == 0;
}

// A restart hands the listening socket to the next listener: clients that connect in
// between wait in its queue and are served, and no other socket can take the port. (A
// connection that a listener had already taken is ended with it, as a restart does.)
TEST(TcpListener, RestartsUnderSteadyConnectionsRefuseNoneAndKeepThePortBound) {
    TestBackend backend("D:");
    PortHarness port(StandardPort(backend.port()));
    ASSERT_TRUE(port.start());
    std::atomic<bool> restarting{true};
    std::atomic<int> served{0}, refused{0}, takenByOthers{0};
    std::thread clients([&] {
        while (restarting) {
            UniqueFd client = port.connect();
            if (!client.valid()) {
                ++refused;
            } else if (ReadUpTo(client.get(), 2, 5s) == "D:") {
                ++served;
            }
        }
    });
    std::thread other([&] {
        while (restarting) {
            takenByOthers += SomeoneElseCanListenOn(port.record.listenPort) ? 1 : 0;
        }
    });
    int restarts = 0;
    while (restarts < 10 && port.restart()) {
        ++restarts;
        const int before = served;
        WaitUntil([&] { return served > before; });
    }
    restarting = false;
    clients.join();
    other.join();
    EXPECT_EQ(restarts, 10);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(takenByOthers, 0);
    EXPECT_GE(served, 10);
    ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
}

// A resolver in the process's place that takes every lookup and never answers.
class SilentResolver : public Resolver {
public:
    SilentResolver() { Resolver::replaceForTesting(this); }
    ~SilentResolver() override { Resolver::replaceForTesting(nullptr); }
    std::shared_ptr<NameLookup> lookUp(std::string host, int port, ThreadId replyTo,
                                       std::uint32_t message, std::uintptr_t tag) override {
        std::lock_guard lock(mutex_);
        asked_.push_back(NewLookup(std::move(host), port, replyTo, message, tag));
        return asked_.back();
    }
    std::vector<std::shared_ptr<NameLookup>> asked() {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<NameLookup>> asked_;
};

TEST(TcpListener, StopWhileTheDestinationsNameIsLookedUpEndsSessionAndPortAtOnce) {
    SilentResolver resolver;
    ForwardingPort record = StandardPort(1);
    record.forwardIp = "destination.invalid";
    PortHarness port(std::move(record));
    ASSERT_TRUE(port.start());
    UniqueFd client = port.connect();
    ASSERT_TRUE(WaitUntil([&] { return resolver.asked().size() == 1; }));

    auto answer = port.request(WM_PORT_STOP, 0, 1s);
    ASSERT_TRUE(answer) << "the stop waited for the lookup";
    EXPECT_EQ(answer->message, WM_PORT_STOP);
    EXPECT_TRUE(PeerClosed(client.get(), 1s));
    EXPECT_TRUE(resolver.asked().front()->abandoned);
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
