// PROXY protocol through a running port: the header it writes to every destination, and
// the header it takes from a load balancer in front of it.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "engine/tcp/ProxyHeader.h"
#include "tests/engine/AddressTestSupport.h"
#include "tests/engine/tcp/TcpTestSupport.h"
#include "tests/support/TestBackend.h"
#include "tests/support/WaitUntil.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace testing::address;
using testing::PortHarness;
using testing::ReadUpTo;
using testing::TestBackend;

void SendText(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// The connection was reset, as a refused client sees it (maybe during the connect).
bool WasReset(const UniqueFd& fd, int connectError) {
    if (connectError == ECONNRESET) {
        return true;
    }
    char byte;
    return Readable(fd.get(), 10s) && ::recv(fd.get(), &byte, 1, 0) == -1 && errno == ECONNRESET;
}

// A Smart port writes the header to the rule's destination and to its default alike, with
// the client's address and the port's own, ahead of the client's first byte.
TEST(ProxyProtocol, EveryDestinationGetsTheHeaderFirst) {
    for (std::int32_t version : {PROXY_PROTOCOL_V1, PROXY_PROTOCOL_V2}) {
        SCOPED_TRACE("version " + std::to_string(version));
        TestBackend fallback("F:"), ruled("R:");
        ForwardingPort record = testing::StandardPort(fallback.port());
        record.appendRule(testing::TextRule("MARKER", ruled.port()));
        record.proxyProtocol = version;
        PortHarness port(std::move(record));
        ASSERT_TRUE(port.start());
        const int listenPort = port.record.listenPort;
        int error = 0;
        UniqueFd toRule = ConnectFrom("127.0.0.2", "127.0.0.1", listenPort, error);
        UniqueFd toDefault = ConnectFrom("127.0.0.3", "127.0.0.1", listenPort, error);
        ASSERT_TRUE(toRule.valid() && toDefault.valid()) << error;
        SendText(toRule.get(), "a MARKER");
        SendText(toDefault.get(), "other");

        for (auto [client, backend, data] : {std::tuple{&toRule, &ruled, "a MARKER"},
                                             std::tuple{&toDefault, &fallback, "other"}}) {
            SocketAddress from = SocketAddress::LocalOf(client->get());
            std::vector<unsigned char> header =
                ProxyHeader::Build(version, from, At("127.0.0.1", listenPort));
            std::string expected(header.begin(), header.end());
            // The backend echoes it all, behind its tag.
            EXPECT_EQ(ReadUpTo(client->get(), 2 + expected.size() + std::strlen(data)),
                      backend->tag() + expected + data);
            EXPECT_EQ(backend->received(0), expected + data);
        }
        ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
    }
}

// Behind a load balancer (127.0.0.1 here): the header's client stands for the connection
// in allowed clients, in the header sent on and in the log. Connections without a valid
// header, or whose header names a client not allowed, are reset before any destination.
TEST(ProxyProtocol, TakesTheHeaderOnlyFromAllowedClients) {
    TestBackend backend("D:");
    ForwardingPort record = testing::StandardPort(backend.port());
    record.acceptProxyProtocol = true;
    record.proxyProtocol = PROXY_PROTOCOL_V1;
    record.allowFrom = {"127.0.0.1", "192.0.2.0/24"};
    record.timeoutSeconds = 1;
    PortHarness port(std::move(record));
    port.logConnections();
    ASSERT_TRUE(port.start());
    const int listenPort = port.record.listenPort;
    const std::string lb = "127.0.0.1";

    int error = 0;
    UniqueFd admitted = ConnectFrom(lb.c_str(), lb.c_str(), listenPort, error);
    SendText(admitted.get(), "PROXY TCP4 192.0.2.9 203.0.113.4 5555 443\r\nhello");
    const std::string sentOn =
        "PROXY TCP4 192.0.2.9 127.0.0.1 5555 " + std::to_string(listenPort) + "\r\nhello";
    EXPECT_EQ(ReadUpTo(admitted.get(), 2 + sentOn.size()), "D:" + sentOn);
    EXPECT_EQ(backend.received(0), sentOn);

    UniqueFd named = ConnectFrom(lb.c_str(), lb.c_str(), listenPort, error);
    SendText(named.get(), "PROXY TCP4 198.51.100.1 203.0.113.4 5555 443\r\nhello");
    EXPECT_TRUE(WasReset(named, error));
    UniqueFd garbage = ConnectFrom(lb.c_str(), lb.c_str(), listenPort, error);
    SendText(garbage.get(), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(WasReset(garbage, error));
    UniqueFd silent = ConnectFrom(lb.c_str(), lb.c_str(), listenPort, error);
    EXPECT_TRUE(WasReset(silent, error));  // after the port's timeout of a second
    UniqueFd outsider = ConnectFrom("127.0.0.3", lb.c_str(), listenPort, error);
    EXPECT_TRUE(WasReset(outsider, error));  // by the listener: its real address is not allowed

    EXPECT_EQ(backend.connectionCount(), 1u);
    PortCounters::Snapshot counts = port.counters()->snapshot();
    EXPECT_EQ(counts.proxyHeaderRefusals, 2u);
    EXPECT_EQ(counts.proxyClientRefusals, 1u);

    admitted.reset();
    ASSERT_TRUE(testing::WaitUntil([&] {
        port.drainLog();
        return port.log.size() == 5;
    }));
    std::map<std::string, std::string> ends;  // client: how it ended, as the log shows it
    for (const ConnectionRecord& record : port.log) {
        const std::string line = record.FormatLine();
        ends[record.client] += line.substr(line.rfind('\t') + 1) + ";";
        if (record.client == "192.0.2.9:5555") {  // neither header counts as the client's
            EXPECT_EQ(record.bytesFromClient, 5u);
        }
    }
    EXPECT_EQ(ends["192.0.2.9:5555"], "client closed;");
    EXPECT_EQ(ends["198.51.100.1:5555"], "client not allowed;");
    EXPECT_EQ(ends[SocketAddress::LocalOf(garbage.get()).toString()],
              "no valid PROXY header: the connection does not start with a PROXY protocol "
              "header;");
    EXPECT_EQ(ends[SocketAddress::LocalOf(silent.get()).toString()],
              "no valid PROXY header: none came within the port's timeout;");
    EXPECT_EQ(ends[SocketAddress::LocalOf(outsider.get()).toString()], "refused;");
    ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
}

// The rules see what follows the header, also when it came in the header's own read.
TEST(ProxyProtocol, SmartRulesMatchTheDataAfterTheHeader) {
    TestBackend fallback("F:"), ruled("R:");
    ForwardingPort record = testing::StandardPort(fallback.port());
    record.appendRule(testing::TextRule("PROXY", ruled.port()));
    record.acceptProxyProtocol = true;
    PortHarness port(std::move(record));
    ASSERT_TRUE(port.start());
    std::vector<unsigned char> v2 =
        ProxyHeader::Build(PROXY_PROTOCOL_V2, At("192.0.2.9", 5555), At("127.0.0.1", 80));
    UniqueFd plain = port.connect();
    UniqueFd marked = port.connect();
    SendText(plain.get(), std::string(v2.begin(), v2.end()) + "plain");
    SendText(marked.get(), "PROXY TCP4 192.0.2.9 127.0.0.1 5555 80\r\n");
    SendText(marked.get(), "PROXY");
    EXPECT_EQ(ReadUpTo(plain.get(), 7), "F:plain");
    EXPECT_EQ(ReadUpTo(marked.get(), 7), "R:PROXY");
    ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
}

}  // namespace
}  // namespace tarnwick
