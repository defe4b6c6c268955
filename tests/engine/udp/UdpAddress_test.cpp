// Where a UDP port listens, which clients it serves, and IPv6 destinations.
#include <gtest/gtest.h>

#include "../AddressTestSupport.h"
#include "UdpTestSupport.h"
#include "event/EngineMessages.h"
#include "event/Mailbox.h"
#include "event/ThreadRegistry.h"
#include "udp/CThreadUDP.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace testing::address;
using Datagram = std::pair<std::string, std::string>;  // data, sender

// One relay on a free port, running from construction to destruction.
struct RunningRelay {
    RunningRelay(const char* listenAddress, const char* forwardIp, int forwardPort,
                 std::vector<std::string> allowFrom = {}) {
        port.protocol = PROTOCOL_UDP;
        port.listenPort = testing::udp::FreeUdpPort();
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

TEST(AllowedClients, UdpClientOutsideTheListIsDroppedUnseen) {
    DatagramPeer destination("127.0.0.1"), refused("127.0.0.1"), admitted("127.0.0.2");
    RunningRelay relay("127.0.0.1", "127.0.0.1", destination.port(), {"127.0.0.2"});
    ASSERT_TRUE(relay.started);
    const int listen = relay.port.listenPort;
    const std::string from = "127.0.0.1:" + std::to_string(listen);

    refused.sendTo("127.0.0.1", listen, "not me");  // would pick the destination if seen
    admitted.sendTo("127.0.0.1", listen, "hello");
    EXPECT_EQ(destination.receive(), Datagram("hello", from));
    destination.sendTo("127.0.0.1", listen, "reply");  // the destination needs no place
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
    EXPECT_EQ(destination.receive(), Datagram("ping", "[::1]:" + std::to_string(listen)));
    destination.sendTo("::1", listen, "pong");
    EXPECT_EQ(client.receive(), Datagram("pong", "127.0.0.1:" + std::to_string(listen)));
}

}  // namespace
}  // namespace tarnwick
