#include "engine/routing/ChooseDestination.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

// Records dumps instead of writing them.
class RecordingLog : public CaptureLog {
public:
    RecordingLog() : CaptureLog("/nonexistent") {}
    void WriteCaptureLog(const ForwardingPort& port, const unsigned char* data,
                         std::size_t length) override {
        dumps.emplace_back(reinterpret_cast<const char*>(data), length);
        flagWhenWritten = port.captureFirstPacket;
    }
    std::vector<std::string> dumps;
    int flagWhenWritten = -1;
};

void AddRule(ForwardingPort& port, int searchType, int caseSensitive, const std::string& data,
             const std::string& host, int hostPort) {
    auto rule = std::make_unique<ForwardingRule>();
    rule->searchType = searchType;
    rule->caseSensitive = caseSensitive;
    rule->searchData = data;
    rule->forwardIp = host;
    rule->forwardPort = hostPort;
    port.appendRule(std::move(rule));
}

struct Route {
    std::string host;
    std::int32_t port = 0;
    int rule = -1;  // the matching rule's index, -1 for the default
};

Route Choose(ForwardingPort& port, const std::string& data, CaptureLog& log) {
    Route route;
    route.rule = ChooseDestination(port, reinterpret_cast<const unsigned char*>(data.data()),
                                   data.size(), route.host, route.port, log);
    return route;
}

ForwardingPort SmartPort() {
    ForwardingPort port;
    port.listenPort = 443;
    port.forwardIp = "default.example";
    port.forwardPort = 80;
    AddRule(port, 0, 0, "", "empty.example", 1);            // empty pattern: never matches
    AddRule(port, 1, 0, "16 03 XX", "tls.example", 443);    // hex
    AddRule(port, 0, 1, "SSH-", "ssh.example", 22);         // case-sensitive text
    AddRule(port, 0, 0, "host: b", "web-b.example", 8080);  // case-insensitive text
    AddRule(port, 0, 0, "GET", "web.example", 8000);
    return port;
}

TEST(ChooseDestination, FirstMatchingRuleInOrderWinsElseDefault) {
    RecordingLog log;
    ForwardingPort port = SmartPort();
    struct Case {
        std::string data;
        std::string host;
        int hostPort;
        int rule;
    } cases[] = {
        {"\x16\x03\x01\x02", "tls.example", 443, 1},
        {"SSH-2.0-client", "ssh.example", 22, 2},
        {"ssh-2.0-client", "default.example", 80, -1},
        {"GET / HTTP/1.1\r\nHOST: B\r\n", "web-b.example", 8080, 3},  // both match: earlier wins
        {"GET / HTTP/1.1\r\nHost: a\r\n", "web.example", 8000, 4},
        {"", "default.example", 80, -1},
        {"\x16\x03", "default.example", 80, -1},  // the pattern would run past the data
    };
    for (const Case& c : cases) {
        Route route = Choose(port, c.data, log);
        EXPECT_EQ(route.host, c.host) << c.data;
        EXPECT_EQ(route.port, c.hostPort) << c.data;
        EXPECT_EQ(route.rule, c.rule) << c.data;
    }
    EXPECT_TRUE(log.dumps.empty());
}

TEST(ChooseDestination, PortWithoutRulesGoesToItsDefault) {
    RecordingLog log;
    ForwardingPort port;
    port.forwardIp = "10.1.2.3";
    port.forwardPort = 53;
    Route route = Choose(port, "anything", log);
    EXPECT_EQ(route.host, "10.1.2.3");
    EXPECT_EQ(route.port, 53);
}

TEST(ChooseDestination, CaptureFlagIsClearedBeforeTheOneDump) {
    RecordingLog log;
    ForwardingPort port = SmartPort();
    port.captureFirstPacket = 1;
    Choose(port, std::string("SSH-\0x", 6), log);
    Choose(port, "GET", log);
    ASSERT_EQ(log.dumps.size(), 1u);
    EXPECT_EQ(log.dumps[0], std::string("SSH-\0x", 6));
    EXPECT_EQ(log.flagWhenWritten, 0);
    EXPECT_EQ(port.captureFirstPacket, 0);
}

// Many connections share one table: each gets the same routes as through the port itself,
// and its capture flag is its own, so every connection is captured once.
TEST(ChooseDestination, SharedTableRoutesAsThePortAndCapturesPerConnection) {
    RecordingLog log;
    ForwardingPort reference = SmartPort();
    auto shared = SmartPort().deepCopy();
    shared->captureFirstPacket = 1;
    const RoutingTable table(std::move(shared));
    for (std::string data : {"\x16\x03\x01", "SSH-2", "ssh-2", "get / HTTP/1.1\r\nHOST: b", "x"}) {
        std::int32_t capture = table.port().captureFirstPacket;
        Route route;
        route.rule = ChooseDestination(table, capture,
                                       reinterpret_cast<const unsigned char*>(data.data()),
                                       data.size(), route.host, route.port, log);
        Route expected = Choose(reference, data, log);
        EXPECT_EQ(route.host, expected.host) << data;
        EXPECT_EQ(route.port, expected.port) << data;
        EXPECT_EQ(route.rule, expected.rule) << data;
        EXPECT_EQ(capture, 0);
    }
    EXPECT_EQ(log.dumps.size(), 5u);
    EXPECT_EQ(table.port().captureFirstPacket, 1);
}

}  // namespace
}  // namespace tarnwick
