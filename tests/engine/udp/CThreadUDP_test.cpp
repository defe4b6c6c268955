#include "engine/udp/CThreadUDP.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/EventTestSupport.h"
#include "tests/support/FreePort.h"
#include "tests/engine/udp/UdpTestSupport.h"
#include "engine/EngineMessages.h"
#include "engine/worker/Mailbox.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {
namespace {

using namespace testing::udp;
using testing::RecordingCaptureLog;
using testing::WaitUntil;

struct Relay {
    ThreadId id;
    ThreadHandle handle;
};

class UdpRelayTest : public ::testing::Test {
protected:
    Mailbox owner;
    std::shared_ptr<RecordingCaptureLog> log = std::make_shared<RecordingCaptureLog>();
    std::vector<Relay> relays;  // every relay started, ended quietly at tear-down
    UdpPeer client;
    UdpPeer destination;

    ForwardingPort Port(const std::string& host, int hostPort) {
        ForwardingPort port;
        port.protocol = PROTOCOL_UDP;
        port.listenPort = testing::FreePort(SOCK_DGRAM);
        port.forwardIp = host;
        port.forwardPort = hostPort;
        port.ownerWindow = owner.id();
        return port;
    }
    ForwardingPort PortToDestination() { return Port("127.0.0.1", destination.port()); }

    static void AddRule(ForwardingPort& port, int searchType, const std::string& pattern,
                        int hostPort) {
        auto rule = std::make_unique<ForwardingRule>();
        rule->searchType = searchType;
        rule->searchData = pattern;
        rule->forwardIp = "127.0.0.1";
        rule->forwardPort = hostPort;
        port.appendRule(std::move(rule));
    }

    // Creates a relay suspended, as the controller does; `beforeResume` may post to it.
    Relay Start(const ForwardingPort& port, std::uint32_t beforeResume = 0) {
        auto worker = std::make_unique<CThreadUDP>(log);
        Relay relay{worker->threadId(), worker->threadHandle()};
        relays.push_back(relay);
        worker->setPortCopy(port.deepCopy());
        if (beforeResume != 0) {
            PostThreadMessage(relay.id, beforeResume);
        }
        EXPECT_TRUE(WorkerThread::resume(std::move(worker)));
        return relay;
    }

    void ExpectNotice(std::uint32_t number, const Relay& relay, std::intptr_t error = 0) {
        auto notice = owner.waitFor(WAIT_LIMIT);
        ASSERT_TRUE(notice.has_value()) << "no notice " << number;
        EXPECT_EQ(notice->message, number);
        EXPECT_EQ(notice->wParam, relay.id);
        EXPECT_EQ(notice->lParam, error);
        if (number == WM_PORT_STARTED) {
            EXPECT_TRUE(notice->handle == relay.handle);
        }
    }

    Relay StartRunning(const ForwardingPort& port) {
        Relay relay = Start(port);
        ExpectNotice(WM_PORT_STARTED, relay);
        return relay;
    }

    // Ends a relay with `request` (wParam `quiet`) and waits until its thread is gone.
    void End(const Relay& relay, std::uint32_t request, std::uintptr_t quiet = 0) {
        PostThreadMessage(relay.id, request, quiet);
        EXPECT_TRUE(relay.handle.wait(WAIT_LIMIT));
    }

    static void ExpectDatagram(const UdpPeer& peer, const std::string& data, int fromPort) {
        auto received = peer.receive();
        ASSERT_TRUE(received.has_value()) << "expected " << data.substr(0, 20);
        EXPECT_EQ(received->data, data);
        EXPECT_EQ(received->senderPort, fromPort);
    }

    void TearDown() override {
        for (const Relay& relay : relays) {
            PostThreadMessage(relay.id, WM_PORT_STOP, 1);
            EXPECT_TRUE(relay.handle.wait(WAIT_LIMIT));
        }
    }
};

TEST_F(UdpRelayTest, FirstDatagramRoutesTheWholeRun) {
    UdpPeer alpha, beta;
    ForwardingPort port = PortToDestination();
    AddRule(port, 0, "alpha", alpha.port());
    AddRule(port, 1, "62 65 74 61", beta.port());  // "beta" as hex
    StartRunning(port);

    for (std::string data : {"beta first", "alpha second", "neither third"}) {
        client.sendTo(port.listenPort, data);
        ExpectDatagram(beta, data, port.listenPort);
    }
    EXPECT_TRUE(alpha.idle());
    EXPECT_TRUE(destination.idle());
    EXPECT_TRUE(log->dumps().empty());  // capture is off
}

TEST_F(UdpRelayTest, RepliesGoToTheLastClientOnly) {
    UdpPeer other;
    ForwardingPort port = PortToDestination();
    StartRunning(port);

    client.sendTo(port.listenPort, "from A");
    ExpectDatagram(destination, "from A", port.listenPort);
    other.sendTo(port.listenPort, "from B");
    ExpectDatagram(destination, "from B", port.listenPort);
    destination.sendTo(port.listenPort, "reply 1");
    ExpectDatagram(other, "reply 1", port.listenPort);
    EXPECT_TRUE(client.idle());

    client.sendTo(port.listenPort, "A again");
    ExpectDatagram(destination, "A again", port.listenPort);
    destination.sendTo(port.listenPort, "reply 2");
    ExpectDatagram(client, "reply 2", port.listenPort);
    EXPECT_TRUE(other.idle());
    EXPECT_TRUE(destination.idle());
}

TEST_F(UdpRelayTest, EmptyDatagramsAreIgnoredAndLongOnesCutTo8192Bytes) {
    UdpPeer tail, head;
    ForwardingPort port = PortToDestination();
    port.captureFirstPacket = 1;
    AddRule(port, 0, "tail-marker", tail.port());  // beyond 8192 bytes: never seen
    AddRule(port, 0, "head", head.port());
    StartRunning(port);

    std::string longData = "head" + std::string(8500, '.') + "tail-marker" + std::string(485, '.');
    ASSERT_EQ(longData.size(), 9000u);
    std::string relayed = longData.substr(0, CThreadUDP::RECEIVE_BUFFER_SIZE);
    client.sendTo(port.listenPort, "");
    client.sendTo(port.listenPort, longData);
    ExpectDatagram(head, relayed, port.listenPort);
    EXPECT_EQ(log->dumps(), std::vector<std::string>{relayed});

    head.sendTo(port.listenPort, "");
    head.sendTo(port.listenPort, longData);
    ExpectDatagram(client, relayed, port.listenPort);
    EXPECT_TRUE(tail.idle());
    EXPECT_TRUE(destination.idle());
}

// Client and destination share 127.0.0.1: they are told apart by their ports, and a
// destination named by a host name is recognised by its resolved address.
TEST_F(UdpRelayTest, LocalClientAndDestinationWorkBothWaysByAddressOrName) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        ForwardingPort port = Port(host, destination.port());
        Relay relay = StartRunning(port);
        for (int round = 0; round < 2; ++round) {
            client.sendTo(port.listenPort, "ping");
            ExpectDatagram(destination, "ping", port.listenPort);
            destination.sendTo(port.listenPort, "pong");
            ExpectDatagram(client, "pong", port.listenPort);
        }
        EXPECT_TRUE(destination.idle());
        End(relay, WM_PORT_STOP, 1);
    }
}

TEST_F(UdpRelayTest, ReplyBeforeAnyClientChoosesTheRunAndIsDropped) {
    ForwardingPort port = PortToDestination();
    port.captureFirstPacket = 1;
    StartRunning(port);

    destination.sendTo(port.listenPort, "early");
    client.sendTo(port.listenPort, "hello");
    ExpectDatagram(destination, "hello", port.listenPort);
    EXPECT_EQ(log->dumps(), std::vector<std::string>{"early"});
}

TEST_F(UdpRelayTest, CaptureIsWrittenOncePerRun) {
    ForwardingPort port = PortToDestination();
    port.captureFirstPacket = 1;
    Relay first = StartRunning(port);
    for (std::string data : {"one", "two"}) {
        client.sendTo(port.listenPort, data);
        ExpectDatagram(destination, data, port.listenPort);
    }
    End(first, WM_PORT_RESTART);
    ExpectNotice(WM_PORT_RESTART, first);

    StartRunning(port);  // a fresh copy of the record, flag still set
    client.sendTo(port.listenPort, "three");
    ExpectDatagram(destination, "three", port.listenPort);
    EXPECT_EQ(log->dumps(), (std::vector<std::string>{"one", "three"}));
}

TEST_F(UdpRelayTest, SecondRelayOnTheSamePortReportsStopOnly) {
    ForwardingPort port = PortToDestination();
    StartRunning(port);
    Relay second = Start(port);
    ExpectNotice(WM_PORT_STOP, second, EADDRINUSE);  // and says why
    EXPECT_TRUE(second.handle.wait(WAIT_LIMIT));

    client.sendTo(port.listenPort, "still served");
    ExpectDatagram(destination, "still served", port.listenPort);
    EXPECT_FALSE(owner.tryTake().has_value());
}

// Each relay of this test binds the same port, so each must have released it.
TEST_F(UdpRelayTest, StopAndRestartRequestsAreAnsweredAsAsked) {
    ForwardingPort port = PortToDestination();
    End(StartRunning(port), WM_PORT_STOP, 1);
    EXPECT_FALSE(owner.tryTake().has_value());

    Relay reported = StartRunning(port);
    End(reported, WM_PORT_STOP, 0);
    ExpectNotice(WM_PORT_STOP, reported);

    Relay restarted = StartRunning(port);
    End(restarted, WM_PORT_RESTART);
    ExpectNotice(WM_PORT_RESTART, restarted);

    Relay early = Start(port, WM_PORT_STOP);  // the stop waits in the queue before start
    EXPECT_TRUE(early.handle.wait(WAIT_LIMIT));
    ExpectNotice(WM_PORT_STOP, early);
    EXPECT_FALSE(owner.tryTake().has_value());
}

TEST_F(UdpRelayTest, UnusableDestinationEndsTheRelayWithStop) {
    struct Case {
        const char* host;
        int hostPort;
    } cases[] = {
        {"no such host", 5353},  // blanks: the resolver refuses it without asking a server
        {"127.0.0.1", 0},        // a datagram cannot be sent to port 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        ForwardingPort port = Port(c.host, c.hostPort);
        Relay relay = StartRunning(port);
        client.sendTo(port.listenPort, "x");
        ExpectNotice(WM_PORT_STOP, relay);
        EXPECT_TRUE(relay.handle.wait(WAIT_LIMIT));
    }
}

TEST_F(UdpRelayTest, DescriptorsAndThreadsReturnToBaselineAfterCycles) {
    const std::size_t descriptors = testing::OpenDescriptors();
    const std::size_t threads = testing::LiveThreads();
    ForwardingPort port = PortToDestination();
    for (int cycle = 0; cycle < 20; ++cycle) {
        Relay relay = StartRunning(port);
        client.sendTo(port.listenPort, "cycle");
        ExpectDatagram(destination, "cycle", port.listenPort);
        End(relay, cycle % 2 == 0 ? WM_PORT_STOP : WM_PORT_RESTART);
        ExpectNotice(cycle % 2 == 0 ? WM_PORT_STOP : WM_PORT_RESTART, relay);
    }
    // At most: the baseline may still count the thread of an earlier test that is ending.
    EXPECT_TRUE(WaitUntil([&] { return testing::OpenDescriptors() <= descriptors; }))
        << testing::OpenDescriptors() << " descriptors open, " << descriptors << " before";
    EXPECT_TRUE(WaitUntil([&] { return testing::LiveThreads() <= threads; }))
        << testing::LiveThreads() << " threads, " << threads << " before";
}

}  // namespace
}  // namespace tarnwick
