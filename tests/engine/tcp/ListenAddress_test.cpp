// Where a TCP port listens, which clients it serves, and destinations of either family.
#include <gtest/gtest.h>

#include "tests/engine/AddressTestSupport.h"
#include "tests/engine/tcp/TcpTestSupport.h"
#include "tests/support/TestBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace testing::address;
using testing::ConnectToLoopback;
using testing::PortHarness;
using testing::ReadUpTo;
using testing::TestBackend;

ForwardingPort ListeningOn(const TestBackend& backend, const char* listenAddress,
                           std::vector<std::string> allowFrom = {}) {
    ForwardingPort port = testing::StandardPort(backend.port());
    port.listenAddress = listenAddress;
    port.allowFrom = std::move(allowFrom);
    return port;
}

TEST(ListenAddress, PortOnOneAddressIsNotReachableOnAnother) {
    TestBackend backend("D:");
    PortHarness port(ListeningOn(backend, "127.0.0.1"));
    ASSERT_TRUE(port.start());
    int error = 0;
    EXPECT_FALSE(ConnectFrom("127.0.0.1", "127.0.0.2", port.record.listenPort, error).valid());
    EXPECT_EQ(error, ECONNREFUSED);
    UniqueFd client = ConnectFrom("127.0.0.1", "127.0.0.1", port.record.listenPort, error);
    EXPECT_EQ(ReadUpTo(client.get(), 2), "D:");
    ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
}

TEST(ListenAddress, AnyIPv6AddressServesBothFamilies) {
    SKIP_WITHOUT_IPV6();
    TestBackend backend("D:");
    PortHarness port(ListeningOn(backend, "::"));
    ASSERT_TRUE(port.start());
    for (const char* address : {"127.0.0.1", "::1"}) {
        int error = 0;
        UniqueFd client = ConnectFrom(address, address, port.record.listenPort, error);
        EXPECT_EQ(ReadUpTo(client.get(), 2), "D:") << address << " " << error;
    }
    ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
}

// The refused client is reset by the listener itself: a session of a Standard port would
// have connected to the backend at once, so the backend's count shows that none began.
// On "::" an IPv4 client arrives v4-mapped and must still count as its IPv4 address.
TEST(AllowedClients, TcpClientOutsideTheListIsResetBeforeAnyDestination) {
    std::vector<const char*> listenAddresses = {"", "127.0.0.1"};
    if (HasIPv6Loopback()) {
        listenAddresses.push_back("::");
    }
    for (const char* listenAddress : listenAddresses) {
        SCOPED_TRACE(std::string("listening on \"") + listenAddress + "\"");
        TestBackend backend("D:");
        PortHarness port(ListeningOn(backend, listenAddress, {"10.0.0.0/8", "127.0.0.2"}));
        ASSERT_TRUE(port.start());
        int error = 0;
        UniqueFd refused = ConnectFrom("127.0.0.1", "127.0.0.1", port.record.listenPort, error);
        // The kernel completes the handshake before the listener sees the client, so the
        // reset comes after connect() succeeded, or during it when connect() returns late.
        if (error != ECONNRESET) {
            ASSERT_EQ(error, 0);
            ASSERT_TRUE(Readable(refused.get(), 10s));
            char byte;
            ssize_t read = ::recv(refused.get(), &byte, 1, 0);
            EXPECT_TRUE(read == -1 && errno == ECONNRESET) << read;
        }

        UniqueFd admitted = ConnectFrom("127.0.0.2", "127.0.0.1", port.record.listenPort, error);
        EXPECT_EQ(ReadUpTo(admitted.get(), 2), "D:");
        EXPECT_EQ(backend.connectionCount(), 1u);
        ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
    }
}

// Sends `data` through the port on 127.0.0.1 and gives back what the echo returns.
std::string EchoThrough(const PortHarness& port, const std::string& data) {
    UniqueFd client = ConnectToLoopback(port.record.listenPort);
    if (::send(client.get(), data.data(), data.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(data.size())) {
        return "send failed";
    }
    return ReadUpTo(client.get(), 2 + data.size());
}

TEST(TcpDestination, IPv6LiteralWithOrWithoutBrackets) {
    SKIP_WITHOUT_IPV6();
    TestBackend backend("D:", TestBackend::Mode::Echo, {}, "::1");
    ASSERT_NE(backend.port(), 0);
    for (const char* forwardIp : {"::1", "[::1]"}) {
        ForwardingPort record = testing::StandardPort(backend.port());
        record.forwardIp = forwardIp;
        PortHarness port(std::move(record));
        ASSERT_TRUE(port.start());
        EXPECT_EQ(EchoThrough(port, "over six"), "D:over six") << forwardIp;
        ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
    }
}

// The first address of the name refuses (its port is bound there but not listening), the
// second, of the other family, listens at the same port: the session goes on to it.
TEST(TcpDestination, NameOfBothFamiliesFallsBackWhenTheFirstAddressRefuses) {
    SKIP_WITHOUT_IPV6();
    std::vector<SocketAddress> found = SocketAddress::Resolve("localhost", 0);
    if (found.size() < 2 || found[0].family() == found[1].family()) {
        GTEST_SKIP() << "\"localhost\" does not resolve to an address of each family first "
                        "here (see /etc/hosts): no second family to fall back to";
    }
    const std::string first = found[0].ip()->toString();
    const std::string second = found[1].ip()->toString();
    std::optional<TestBackend> backend;
    UniqueFd refusing;
    for (int attempt = 0; attempt < 5 && (!backend || backend->port() == 0); ++attempt) {
        refusing = BoundSocket(first.c_str(), SOCK_STREAM);
        backend.emplace("D:", TestBackend::Mode::Echo, std::string(), second.c_str(),
                        SocketAddress::LocalOf(refusing.get()).port());
    }
    ASSERT_NE(backend->port(), 0) << "no port free on both " << first << " and " << second;
    PortHarness port(testing::StandardPort(backend->port()));
    port.record.forwardIp = "localhost";
    ASSERT_TRUE(port.start());
    EXPECT_EQ(EchoThrough(port, "second"), "D:second");
    EXPECT_EQ(backend->connectionCount(), 1u);
    ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
}

}  // namespace
}  // namespace tarnwick
