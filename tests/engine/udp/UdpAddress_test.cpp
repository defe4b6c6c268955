// Where a UDP port listens, which clients it serves, and IPv6 destinations.
#include <gtest/gtest.h>

#include "tests/engine/AddressTestSupport.h"
#include "tests/support/FreePort.h"
#include "tests/engine/udp/UdpTestSupport.h"
#include "engine/EngineMessages.h"
#include "engine/worker/Mailbox.h"
#include "engine/worker/ThreadRegistry.h"
#include "engine/udp/CThreadUDP.h"
#include "engine/udp/ReplySource.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace testing::address;
using Datagram = std::pair<std::string, std::string>;  // data, sender

// The port of a sender text ("127.0.0.1:40000", "[::1]:40000"): where a client's
// association socket sends from, and where the destination answers.
int AssociationPort(const std::string& sender) {
    return std::stoi(sender.substr(sender.rfind(':') + 1));
}

// One relay on a free port, running from construction to destruction.
struct RunningRelay {
    RunningRelay(const char* listenAddress, const char* forwardIp, int forwardPort,
                 std::vector<std::string> allowFrom = {}) {
        port.protocol = PROTOCOL_UDP;
        port.listenPort = testing::FreePort(SOCK_DGRAM);
        port.listenAddress = listenAddress;
        port.allowFrom = std::move(allowFrom);
        port.forwardIp = forwardIp;
        port.forwardPort = forwardPort;
        port.ownerWindow = owner.id();
        auto worker = std::make_unique<CThreadUDP>(std::make_shared<testing::RecordingCaptureLog>());
        id = worker->threadId();
        handle = worker->threadHandle();
        worker->setPortCopy(port.deepCopy());
        EXPECT_TRUE(WorkerThread::resume(std::move(worker)));
        auto notice = owner.waitFor(10s);
        started = notice && notice->message == WM_PORT_STARTED;
    }
    ~RunningRelay() {
        PostThreadMessage(id, WM_PORT_STOP, 1);
        EXPECT_TRUE(handle.wait(10s));
    }

    Mailbox owner;
    ForwardingPort port;
    ThreadId id = 0;
    ThreadHandle handle;
    bool started = false;
};

// A destination elsewhere answers from any of its ports; one on this host shares its
// address with local clients, so only its own port counts. (The local case end to end:
// CThreadUDP_test's LocalClientAndDestination... test.)
TEST(UdpAddresses, RepliesComeFromTheDestinationsAddressAndPortOnlyWhenItIsLocal) {
    const SocketAddress tftp(*IpAddress::Parse("192.0.2.7"), 69);
    const SocketAddress otherPort(*IpAddress::Parse("192.0.2.7"), 40000);
    const SocketAddress otherHost(*IpAddress::Parse("192.0.2.8"), 69);
    const ReplySource remote(tftp, [](const IpAddress&) { return false; });
    const ReplySource local(tftp, [](const IpAddress&) { return true; });
    EXPECT_TRUE(remote.sent(tftp));
    EXPECT_TRUE(remote.sent(otherPort));
    EXPECT_FALSE(remote.sent(otherHost));
    EXPECT_TRUE(local.sent(tftp));
    EXPECT_FALSE(local.sent(otherPort));
    EXPECT_FALSE(ReplySource().sent(tftp));

    for (const char* own : {"127.0.0.1", "127.3.2.1", "::1", "0.0.0.0"}) {
        EXPECT_TRUE(IsLocalAddress(*IpAddress::Parse(own))) << own;
    }
    EXPECT_FALSE(IsLocalAddress(*IpAddress::Parse("192.0.2.7")));
}

TEST(AllowedClients, UdpClientOutsideTheListIsDroppedUnseen) {
    DatagramPeer destination("127.0.0.1"), refused("127.0.0.1"), admitted("127.0.0.2");
    RunningRelay relay("127.0.0.1", "127.0.0.1", destination.port(), {"127.0.0.2"});
    ASSERT_TRUE(relay.started);
    const int listen = relay.port.listenPort;
    const std::string from = "127.0.0.1:" + std::to_string(listen);

    refused.sendTo("127.0.0.1", listen, "not me");
    admitted.sendTo("127.0.0.1", listen, "hello");
    auto hello = destination.receive();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(hello->first, "hello");  // the refused datagram never reached it
    destination.sendTo("127.0.0.1", AssociationPort(hello->second), "reply");
    EXPECT_EQ(admitted.receive(), Datagram("reply", from));
    EXPECT_FALSE(refused.receive(0ms));
}

TEST(UdpAddresses, IPv6DestinationServesAnIPv4Client) {
    SKIP_WITHOUT_IPV6();
    DatagramPeer destination("::1"), client("127.0.0.1");
    RunningRelay relay("::", "[::1]", destination.port());
    ASSERT_TRUE(relay.started);
    const int listen = relay.port.listenPort;

    client.sendTo("127.0.0.1", listen, "ping");
    auto ping = destination.receive();
    ASSERT_TRUE(ping.has_value());
    EXPECT_EQ(ping->first, "ping");
    EXPECT_EQ(ping->second.rfind("[::1]:", 0), 0u) << ping->second;
    destination.sendTo("::1", AssociationPort(ping->second), "pong");
    EXPECT_EQ(client.receive(), Datagram("pong", "127.0.0.1:" + std::to_string(listen)));
}

}  // namespace
}  // namespace tarnwick
