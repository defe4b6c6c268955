// Where a TCP port listens, and which clients it serves.
#include <gtest/gtest.h>

#include "../AddressTestSupport.h"
#include "TcpTestSupport.h"
#include "TestBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace testing::address;
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
        ASSERT_TRUE(Readable(refused.get(), 10s)) << error;  // the kernel accepted it first
        char byte;
        ssize_t read = ::recv(refused.get(), &byte, 1, 0);
        EXPECT_TRUE(read == -1 && errno == ECONNRESET) << read;

        UniqueFd admitted = ConnectFrom("127.0.0.2", "127.0.0.1", port.record.listenPort, error);
        EXPECT_EQ(ReadUpTo(admitted.get(), 2), "D:");
        EXPECT_EQ(backend.connectionCount(), 1u);
        ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
    }
}

}  // namespace
}  // namespace tarnwick
