#include "engine/udp/CThreadUDP.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/EventTestSupport.h"
#include "tests/support/FreePort.h"
#include "tests/support/LoopbackServers.h"
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
    Relay Start(const ForwardingPort& port, std::uint32_t beforeResume = 0,
                std::shared_ptr<PortCounters> counters = nullptr) {
        auto worker = std::make_unique<CThreadUDP>(log);
        Relay relay{worker->threadId(), worker->threadHandle()};
        relays.push_back(relay);
        worker->setPortCopy(port.deepCopy());
        if (counters) {
            worker->setCounters(std::move(counters));
        }
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

    Relay StartRunning(const ForwardingPort& port,
                       std::shared_ptr<PortCounters> counters = nullptr) {
        Relay relay = Start(port, 0, std::move(counters));
        ExpectNotice(WM_PORT_STARTED, relay);
        return relay;
    }

    // Ends a relay with `request` (wParam `quiet`) and waits until its thread is gone.
    void End(const Relay& relay, std::uint32_t request, std::uintptr_t quiet = 0) {
        PostThreadMessage(relay.id, request, quiet);
        EXPECT_TRUE(relay.handle.wait(WAIT_LIMIT));
    }

    static constexpr int ANY_PORT = -1;

    // A datagram `data` at `peer`, from `fromPort` (a destination sees each client's
    // association socket, a port of the system's choosing: ANY_PORT). Returns the port it
    // came from, for replies; 0 when none came.
    static int ExpectDatagram(const UdpPeer& peer, const std::string& data, int fromPort) {
        auto received = peer.receive();
        EXPECT_TRUE(received.has_value()) << "expected " << data.substr(0, 20);
        if (!received) {
            return 0;
        }
        EXPECT_EQ(received->data, data);
        if (fromPort != ANY_PORT) {
            EXPECT_EQ(received->senderPort, fromPort);
        }
        return received->senderPort;
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
        ExpectDatagram(beta, data, ANY_PORT);
    }
    EXPECT_TRUE(alpha.idle());
    EXPECT_TRUE(destination.idle());
    EXPECT_TRUE(log->dumps().empty());  // capture is off
}

// Each client has its own socket towards the destination: a reply goes back to the client
// whose datagram it answers, whoever sent last.
TEST_F(UdpRelayTest, RepliesGoToTheClientTheyAnswer) {
    UdpPeer other;
    ForwardingPort port = PortToDestination();
    StartRunning(port);

    client.sendTo(port.listenPort, "from A");
    auto fromA = destination.receive();
    other.sendTo(port.listenPort, "from B");
    auto fromB = destination.receive();
    ASSERT_TRUE(fromA && fromB);
    EXPECT_NE(fromA->senderPort, fromB->senderPort);
    destination.sendTo(fromA->senderPort, "reply to A");
    ExpectDatagram(client, "reply to A", port.listenPort);
    destination.sendTo(fromB->senderPort, "reply to B");
    ExpectDatagram(other, "reply to B", port.listenPort);
    EXPECT_TRUE(client.idle());
    EXPECT_TRUE(other.idle());
}

// Two clients take turns through one port to a backend that answers every datagram: each
// receives exactly its own answers, in order; on a Smart port each reaches the backend
// its own first datagram chose.
TEST_F(UdpRelayTest, InterleavedClientsEachGetTheirOwnAnswers) {
    testing::UdpTagServer alpha("alpha:"), beta("beta:");
    for (bool smart : {false, true}) {
        SCOPED_TRACE(smart ? "smart" : "standard");
        ForwardingPort port = Port("127.0.0.1", alpha.port());
        if (smart) {
            AddRule(port, 0, "to-beta", beta.port());
        }
        Relay relay = StartRunning(port);
        UdpPeer a, b;
        for (int i = 0; i < 50; ++i) {
            a.sendTo(port.listenPort, (i == 0 ? "to-alpha " : "a") + std::to_string(i));
            b.sendTo(port.listenPort, (i == 0 ? "to-beta " : "b") + std::to_string(i));
        }
        for (int i = 0; i < 50; ++i) {
            ExpectDatagram(a, "alpha:" + std::string(i == 0 ? "to-alpha " : "a") + std::to_string(i),
                           port.listenPort);
            ExpectDatagram(b,
                           std::string(smart ? "beta:" : "alpha:") +
                               (i == 0 ? "to-beta " : "b") + std::to_string(i),
                           port.listenPort);
        }
        EXPECT_TRUE(a.idle());
        EXPECT_TRUE(b.idle());
        End(relay, WM_PORT_STOP, 1);
    }
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
    const int association = ExpectDatagram(head, relayed, ANY_PORT);
    EXPECT_EQ(log->dumps(), std::vector<std::string>{relayed});

    head.sendTo(association, "");
    head.sendTo(association, longData);
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
            const int association = ExpectDatagram(destination, "ping", ANY_PORT);
            destination.sendTo(association, "pong");
            ExpectDatagram(client, "pong", port.listenPort);
        }
        EXPECT_TRUE(destination.idle());
        End(relay, WM_PORT_STOP, 1);
    }
}

// Every client's first datagram is captured when the port captures, that of the
// destination's own address too: on the listening socket everyone is a client.
TEST_F(UdpRelayTest, EachAssociationCapturesItsFirstDatagram) {
    ForwardingPort port = PortToDestination();
    port.captureFirstPacket = 1;
    StartRunning(port);

    UdpPeer other;
    for (const UdpPeer* peer : {&client, &other, &client}) {
        peer->sendTo(port.listenPort, peer == &client ? "client" : "other");
        ASSERT_TRUE(destination.receive().has_value());
    }
    EXPECT_EQ(log->dumps(), (std::vector<std::string>{"client", "other"}));
}

TEST_F(UdpRelayTest, CaptureIsWrittenOncePerRun) {
    ForwardingPort port = PortToDestination();
    port.captureFirstPacket = 1;
    Relay first = StartRunning(port);
    for (std::string data : {"one", "two"}) {
        client.sendTo(port.listenPort, data);
        ASSERT_EQ(destination.receive()->data, data);
    }
    End(first, WM_PORT_RESTART);
    ExpectNotice(WM_PORT_RESTART, first);

    StartRunning(port);  // a fresh copy of the record, flag still set
    client.sendTo(port.listenPort, "three");
    ASSERT_EQ(destination.receive()->data, "three");
    EXPECT_EQ(log->dumps(), (std::vector<std::string>{"one", "three"}));
}

TEST_F(UdpRelayTest, SecondRelayOnTheSamePortReportsStopOnly) {
    ForwardingPort port = PortToDestination();
    StartRunning(port);
    Relay second = Start(port);
    ExpectNotice(WM_PORT_STOP, second, EADDRINUSE);  // and says why
    EXPECT_TRUE(second.handle.wait(WAIT_LIMIT));

    client.sendTo(port.listenPort, "still served");
    ExpectDatagram(destination, "still served", ANY_PORT);
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

// A destination that cannot be resolved or sent to fails that client's association only:
// counted with its reason and logged, the client backs off, the port and others go on.
TEST_F(UdpRelayTest, UnusableDestinationFailsOnlyItsAssociation) {
    struct Case {
        const char* host;
        int hostPort;
        std::string ending;
        std::string failure;
    } cases[] = {
        // blanks: the resolver refuses it without asking a server
        {"no such host", 5353, "lookup failed: Name or service not known",
         "no such host:5353: Name or service not known"},
        // nothing can be sent to port 0
        {"127.0.0.1", 0, "failed: Invalid argument", "127.0.0.1:0: Invalid argument"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        ForwardingPort port = PortToDestination();
        AddRule(port, 0, "bad", c.hostPort);
        port.rules[0]->forwardIp = c.host;
        auto counters = std::make_shared<PortCounters>(port, true);
        Relay relay = StartRunning(port, counters);
        UdpPeer failing;
        failing.sendTo(port.listenPort, "bad 1");
        ASSERT_TRUE(WaitUntil([&] { return counters->snapshot().lookupFailures == 1; }));
        failing.sendTo(port.listenPort, "bad 2");  // backing off: dropped unseen
        client.sendTo(port.listenPort, "good");
        ExpectDatagram(destination, "good", ANY_PORT);
        PortCounters::Snapshot counts = counters->snapshot();
        EXPECT_EQ(counts.datagramsDropped, 1u);
        EXPECT_EQ(counts.associationsOpen, 1u);
        EXPECT_EQ(counts.lastLookupFailure, c.failure);
        std::vector<ConnectionRecord> ended = counters->takeConnectionLog();
        ASSERT_EQ(ended.size(), 1u);
        EXPECT_EQ(EndText(ended[0].end, ended[0].error, ended[0].detail), c.ending);
        EXPECT_FALSE(owner.tryTake().has_value());  // still running
        End(relay, WM_PORT_STOP, 1);
    }
}

// Associations end after the idle time, and the least recently used one makes room
// when the port is full; both are counted and logged, and an ended client starts afresh.
TEST_F(UdpRelayTest, IdleAssociationsEndAndTheBoundPushesOutTheLeastRecent) {
    testing::UdpTagServer echo("re:");
    ForwardingPort port = Port("127.0.0.1", echo.port());
    port.udpIdleSeconds = 1;
    port.udpMaxAssociations = 2;
    auto counters = std::make_shared<PortCounters>(port, true);
    StartRunning(port, counters);
    UdpPeer a, b, c;
    for (const UdpPeer* peer : {&a, &b, &a, &c, &b}) {  // c pushes out b, then b pushes out a
        peer->sendTo(port.listenPort, "hi");
        ExpectDatagram(*peer, "re:hi", port.listenPort);
    }
    PortCounters::Snapshot counts = counters->snapshot();
    EXPECT_EQ(counts.associationsCreated, 4u);
    EXPECT_EQ(counts.associationsEndedByBound, 2u);
    EXPECT_EQ(counts.associationsOpen, 2u);

    ASSERT_TRUE(WaitUntil([&] { return counters->snapshot().associationsOpen == 0; }));
    EXPECT_EQ(counters->snapshot().associationsEndedIdle, 2u);
    std::vector<std::string> ends;
    for (const ConnectionRecord& record : counters->takeConnectionLog()) {
        ends.push_back(EndText(record.end, record.error) + " " + record.client);
    }
    auto who = [&](const UdpPeer& peer) { return "127.0.0.1:" + std::to_string(peer.port()); };
    EXPECT_EQ(ends, (std::vector<std::string>{"evicted " + who(b), "evicted " + who(a),
                                              "idle " + who(c), "idle " + who(b)}));
}

// Clients outside allowFrom: every datagram counted, one log line per address a minute.
TEST_F(UdpRelayTest, RefusedClientsAreCountedAndLoggedSparingly) {
    ForwardingPort port = PortToDestination();
    port.allowFrom = {"10.0.0.0/8"};
    auto counters = std::make_shared<PortCounters>(port, true);
    StartRunning(port, counters);
    UdpPeer other;
    for (int i = 0; i < 200; ++i) {
        (i % 2 == 0 ? client : other).sendTo(port.listenPort, "flood");
    }
    ASSERT_TRUE(WaitUntil([&] { return counters->snapshot().refusedClients == 200; }));
    std::vector<ConnectionRecord> lines = counters->takeConnectionLog();
    ASSERT_EQ(lines.size(), 1u);  // both clients share the address 127.0.0.1
    EXPECT_EQ(lines[0].end, EndReason::Refused);
    EXPECT_EQ(counters->snapshot().associationsCreated, 0u);
    EXPECT_TRUE(destination.idle());
}

TEST_F(UdpRelayTest, DescriptorsAndThreadsReturnToBaselineAfterCycles) {
    const std::size_t descriptors = testing::OpenDescriptors();
    const std::size_t threads = testing::LiveThreads();
    ForwardingPort port = PortToDestination();
    for (int cycle = 0; cycle < 20; ++cycle) {
        Relay relay = StartRunning(port);
        client.sendTo(port.listenPort, "cycle");
        ExpectDatagram(destination, "cycle", ANY_PORT);
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
