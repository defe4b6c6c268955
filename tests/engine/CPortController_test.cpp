#include "engine/CPortController.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/EngineMessages.h"
#include "engine/worker/Mailbox.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/WaitUntil.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::FreePort;

// The "Running" column, as the controller sets it.
class FakeView : public PortView {
public:
    void setRunning(std::size_t row, bool running, int error) override {
        if (cells.size() <= row) cells.resize(row + 1, false);
        cells[row] = running;
        lastError = error;
        ++changes;
    }
    std::vector<bool> cells;
    int lastError = 0;
    int changes = 0;
};

std::unique_ptr<ForwardingPort> Port(int protocol, int listenPort) {
    auto port = std::make_unique<ForwardingPort>();
    port->protocol = protocol;
    port->listenPort = listenPort;
    port->forwardIp = "127.0.0.1";
    port->forwardPort = 9;
    return port;
}

class ControllerTest : public ::testing::Test {
protected:
    ControllerTest()
        : controller(view, mailbox.id(), std::make_shared<CaptureLog>("/nonexistent")) {}

    // Hands notices to the controller until `done` holds or ten seconds pass.
    template <class Predicate>
    bool pumpUntil(Predicate done) {
        auto deadline = Mailbox::Clock::now() + 10s;
        while (!done()) {
            auto message = mailbox.waitFor(deadline);
            if (!message) return done();
            controller.handleNotice(*message);
        }
        return true;
    }
    bool running(std::size_t row) { return view.cells.size() > row && view.cells[row]; }
    std::size_t liveCount() { return controller.liveWorkers().size(); }

    FakeView view;
    Mailbox mailbox;
    CPortController controller;
};

TEST_F(ControllerTest, StartAllStartsOnlyThePortsWithoutAWorker) {
    PortTable ports;
    ports.push_back(Port(0, FreePort(SOCK_STREAM)));
    ports.push_back(Port(1, FreePort(SOCK_DGRAM)));
    ports.push_back(Port(0, FreePort(SOCK_STREAM)));
    controller.appendPorts(std::move(ports));
    controller.startPort(1);
    ASSERT_TRUE(pumpUntil([&] { return running(1); }));
    ThreadId first = controller.port(1).threadId;

    controller.startAll();
    ASSERT_TRUE(pumpUntil([&] { return running(0) && running(2); }));
    EXPECT_EQ(liveCount(), 3u);  // exactly two more
    EXPECT_EQ(controller.port(1).threadId, first);

    controller.stopAll();
    ASSERT_TRUE(pumpUntil([&] { return liveCount() == 0; }));
    for (std::size_t row = 0; row < 3; ++row) {
        EXPECT_FALSE(running(row));
        EXPECT_EQ(controller.port(row).threadId, 0u);
        EXPECT_FALSE(controller.port(row).threadHandle);
    }
}

TEST_F(ControllerTest, StopBeforeTheStartedNoticeStillEndsTheWorker) {
    controller.insertPort(Port(0, FreePort(SOCK_STREAM)));
    controller.startPort(0);
    ThreadHandle handle = controller.port(0).threadHandle;
    controller.stopPort(0);  // queued behind the worker's own start
    ASSERT_TRUE(pumpUntil([&] { return controller.port(0).threadId == 0; }));
    EXPECT_TRUE(handle.wait(10s));
    EXPECT_FALSE(running(0));
    EXPECT_EQ(liveCount(), 0u);
}

TEST_F(ControllerTest, DeletedPortsLateNoticeChangesNoRow) {
    controller.insertPort(Port(0, FreePort(SOCK_STREAM)));
    controller.insertPort(Port(0, FreePort(SOCK_STREAM)));
    controller.startAll();
    ASSERT_TRUE(pumpUntil([&] { return running(0) && running(1); }));
    ThreadHandle deleted = controller.port(0).threadHandle;
    controller.stopPort(0);
    controller.removePort(0);
    int changes = view.changes;
    ASSERT_TRUE(pumpUntil([&] { return liveCount() == 1; }));
    EXPECT_TRUE(deleted.wait(10s));
    EXPECT_EQ(view.changes, changes);
    EXPECT_NE(controller.port(0).threadId, 0u);
}

TEST_F(ControllerTest, RestartFollowsTheRecordsProtocol) {
    controller.insertPort(Port(0, FreePort(SOCK_STREAM)));
    controller.startPort(0);
    ASSERT_TRUE(pumpUntil([&] { return running(0); }));
    ThreadId tcpWorker = controller.port(0).threadId;
    std::shared_ptr<const PortCounters> tcpCounters = controller.counters(0);
    ASSERT_NE(tcpCounters, nullptr);

    controller.port(0).protocol = 1;  // edited into a UDP port
    controller.port(0).listenPort = FreePort(SOCK_DGRAM);
    view.setRunning(0, false, 0);     // the window shows "No" at once
    controller.requestRestart(0);
    ASSERT_TRUE(pumpUntil([&] { return running(0); }));
    EXPECT_NE(controller.port(0).threadId, tcpWorker);
    EXPECT_EQ(liveCount(), 1u);
    EXPECT_NE(controller.counters(0), tcpCounters);  // the new run counts from zero
    EXPECT_NE(controller.counters(0), nullptr);

    // The new worker is a UDP relay: its port is now bound for datagrams.
    int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(controller.port(0).listenPort));
    EXPECT_NE(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(probe);
}

TEST_F(ControllerTest, SecondPortOnTheSameListenPortStaysStopped) {
    const int shared = FreePort(SOCK_STREAM);
    controller.insertPort(Port(0, shared));
    controller.startPort(0);
    ASSERT_TRUE(pumpUntil([&] { return running(0); }));
    controller.insertPort(Port(0, shared));  // now row 0; the running one is row 1
    controller.startPort(0);
    ASSERT_TRUE(pumpUntil([&] { return controller.port(0).threadId == 0; }));
    EXPECT_FALSE(running(0));
    EXPECT_EQ(view.lastError, EADDRINUSE);
    EXPECT_EQ(controller.port(0).openError, EADDRINUSE);  // kept for status queries
    EXPECT_EQ(controller.counters(0), nullptr);
    EXPECT_FALSE(controller.isRunning(0));
    EXPECT_NE(controller.port(1).threadId, 0u);
    EXPECT_TRUE(controller.isRunning(1));
    EXPECT_EQ(liveCount(), 1u);
}

TEST_F(ControllerTest, SortDuringStartUpStillFindsTheRow) {
    controller.insertPort(Port(0, FreePort(SOCK_STREAM)));
    controller.insertPort(Port(1, FreePort(SOCK_DGRAM)));
    controller.startPort(0);  // the UDP port
    const int udpListen = controller.port(0).listenPort;
    controller.reorderRows({1, 0});  // a sort moves it to row 1 before it reports
    view.cells.assign(2, false);
    ASSERT_TRUE(pumpUntil([&] { return running(1); }));
    EXPECT_FALSE(running(0));
    EXPECT_EQ(controller.port(1).listenPort, udpListen);
}

TEST_F(ControllerTest, ShutdownStopsEveryLiveWorkerAndWaits) {
    controller.insertPort(Port(0, FreePort(SOCK_STREAM)));
    controller.insertPort(Port(1, FreePort(SOCK_DGRAM)));
    controller.startAll();
    ASSERT_TRUE(pumpUntil([&] { return running(0) && running(1); }));
    std::vector<ThreadHandle> handles = {controller.port(0).threadHandle,
                                         controller.port(1).threadHandle};
    controller.shutdown();
    for (const ThreadHandle& handle : handles) {
        EXPECT_TRUE(handle.finished());
    }
    EXPECT_EQ(controller.rowCount(), 0u);
    EXPECT_EQ(liveCount(), 0u);
    EXPECT_FALSE(mailbox.tryTake());  // quiet stops answer nothing
}

// Each port keeps only its last records, newest last, and they go with its row.
TEST_F(ControllerTest, KeepsEachPortsLastConnectionsUntilItsRowGoes) {
    controller.keepRecentConnections(2);
    testing::ReservedPort refused;  // every connection ends with a failed connect
    controller.insertPort(Port(0, FreePort(SOCK_STREAM)));
    controller.port(0).forwardPort = refused.port();
    controller.startPort(0);
    ASSERT_TRUE(pumpUntil([&] { return running(0); }));
    std::vector<std::string> clients;
    for (int i = 0; i < 3; ++i) {
        testing::Client client(controller.port(0).listenPort);
        ASSERT_TRUE(client.connected());
        clients.push_back("127.0.0.1:" + std::to_string(client.localPort()));
        ASSERT_TRUE(client.closedByPeer());
        ASSERT_TRUE(testing::WaitUntil([&] {
            controller.drainConnectionLog();
            auto kept = controller.recentConnections(0);
            return !kept.empty() && kept.back().client == clients.back();
        }));
    }
    std::vector<ConnectionRecord> kept = controller.recentConnections(0);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].client, clients[1]);
    EXPECT_EQ(kept[0].end, EndReason::ConnectFailed);

    controller.stopPort(0);
    controller.removePort(0);
    controller.insertPort(Port(0, FreePort(SOCK_STREAM)));
    EXPECT_TRUE(controller.recentConnections(0).empty());
}

}  // namespace
}  // namespace tarnwick
