#include "engine/routing/ClientHello.h"

#include <gtest/gtest.h>

#include "engine/routing/ChooseDestination.h"
#include "engine/routing/RoutingTable.h"
#include "engine/routing/TlsRuleSet.h"
#include "tests/support/ClientHelloBytes.h"

namespace tarnwick {
namespace {

using test::Bytes;
using test::ClientHelloRecords;
using test::HelloShape;
using Status = ClientHelloScan::Status;

// Scans an exact copy of the first `length` bytes, so that a read past them is a fault the
// sanitizers see.
ClientHelloScan Scan(const Bytes& data, std::size_t length,
                     std::size_t limit = ClientHelloScan::MAX_HELLO_BYTES) {
    const Bytes prefix(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length));
    return ClientHelloScan(prefix.data(), prefix.size(), limit);
}

TEST(ClientHelloScan, ReadsNameAndProtocolsFromOneRecordOrMany) {
    for (std::size_t recordSize : {16384u, 700u, 1u}) {
        SCOPED_TRACE(recordSize);
        // The name after a key-share-sized extension: in the second segment of a real path.
        const Bytes data = ClientHelloRecords(
            {"www.Example.com", {"h2", "http/1.1"}, 1500, recordSize});
        const ClientHelloScan whole = Scan(data, data.size());
        ASSERT_EQ(whole.status(), Status::Complete) << whole.problem();
        EXPECT_TRUE(whole.hello().hasServerName);
        EXPECT_EQ(whole.hello().serverName, "www.Example.com");
        EXPECT_EQ(whole.hello().alpn, (std::vector<std::string>{"h2", "http/1.1"}));
        for (std::size_t length = 1; length < data.size(); length += recordSize == 1 ? 97 : 1) {
            ASSERT_EQ(Scan(data, length).status(), Status::NeedMore) << length;
        }
    }
    const Bytes bare = ClientHelloRecords({});
    const ClientHelloScan scan = Scan(bare, bare.size());
    ASSERT_EQ(scan.status(), Status::Complete);
    EXPECT_FALSE(scan.hello().hasServerName);
    EXPECT_TRUE(scan.hello().alpn.empty());
}

TEST(ClientHelloScan, OtherFirstDataIsNotTls) {
    const Bytes get{'G', 'E', 'T', ' '}, sslv2Like{22, 2, 1, 0, 5};
    EXPECT_EQ(Scan(get, get.size()).status(), Status::NotTls);
    EXPECT_EQ(Scan(sslv2Like, sslv2Like.size()).status(), Status::NotTls);
    EXPECT_FALSE(ClientHelloScan::MayStart(get.data(), get.size()));
    EXPECT_TRUE(ClientHelloScan::MayStart(sslv2Like.data(), 1));
    EXPECT_FALSE(ClientHelloScan::MayStart(sslv2Like.data(), 2));
}

TEST(ClientHelloScan, MalformedAndTooLargeAreToldApart) {
    Bytes otherType = ClientHelloRecords({"a.example", {}, 300, 200});
    otherType[5 + 200] = 23;  // the second record: application data
    EXPECT_EQ(Scan(otherType, otherType.size()).status(), Status::Malformed);

    Bytes notHello = ClientHelloRecords({"a.example", {}});
    notHello[5] = 2;
    EXPECT_EQ(Scan(notHello, notHello.size()).status(), Status::Malformed);

    Bytes overrun = ClientHelloRecords({"a.example", {}});
    overrun[overrun.size() - 11] = 0x7F;  // the length of the server name
    EXPECT_EQ(Scan(overrun, overrun.size()).status(), Status::Malformed);

    Bytes emptyRecord{22, 3, 1, 0, 0};
    EXPECT_EQ(Scan(emptyRecord, emptyRecord.size()).status(), Status::Malformed);

    // A length beyond the limit is known from the header; small records fill the limit.
    const Bytes big = ClientHelloRecords({"a.example", {}, 20000});
    EXPECT_EQ(Scan(big, 9).status(), Status::TooLarge);
    const Bytes smallRecords = ClientHelloRecords({"a.example", {}, 1800, 10});
    EXPECT_EQ(Scan(smallRecords, 1999, 2000).status(), Status::NeedMore);
    EXPECT_EQ(Scan(smallRecords, 2000, 2000).status(), Status::TooLarge);
}

TEST(TlsRules, ServerNames) {
    struct Case {
        const char* rule;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"www.example.com", "www.example.com", true},
        {"www.example.com", "WWW.Example.COM", true},
        {"WWW.example.com", "www.example.com", true},
        {"www.example.com", "www.example.com.", true},
        {"www.example.com.", "www.example.com", true},
        {"www.example.com", "example.com", false},
        {"www.example.com", "xwww.example.com", false},
        {"*.example.com", "a.example.com", true},
        {"*.example.com", "A.EXAMPLE.com.", true},
        {"*.example.com", "example.com", false},
        {"*.example.com", "a.b.example.com", false},
        {"*.example.com", ".example.com", false},
        {"*.example.com", "aexample.com", false},
        {"*.", "a", false},
        {"", "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TlsRuleSet::ServerNameMatches(c.rule, c.name), c.matches)
            << c.rule << " / " << c.name;
    }
}

// Rules of every kind in one port: the first that matches wins, whatever its kind.
TEST(TlsRules, TriedInOrderWithTheOtherRules) {
    auto port = std::make_shared<ForwardingPort>();
    auto add = [&](RuleKind kind, int hex, const char* data) {
        auto rule = std::make_unique<ForwardingRule>();
        rule->kind = kind;
        rule->searchType = hex;
        rule->searchData = data;
        port->appendRule(std::move(rule));
    };
    add(RuleKind::Pattern, 0, "only.text.example");
    add(RuleKind::TlsServerName, 0, "*.example.com");
    add(RuleKind::TlsAlpn, 0, "h2");
    add(RuleKind::Pattern, 1, "16 03");
    add(RuleKind::TlsServerName, 0, "late.example.org");
    const RoutingTable table(port);

    auto decide = [&](const HelloShape& shape) {
        const Bytes data = ClientHelloRecords(shape);
        const ClientHelloScan scan(data.data(), data.size());
        const int plain = FirstMatchRuleByRule(*port, data.data(), data.size(), &scan.hello());
        EXPECT_EQ(table.FirstMatch(data.data(), data.size(), &scan.hello()), plain);
        return plain;
    };
    EXPECT_EQ(decide({"only.text.example", {"h2"}}), 0);  // the bytes hold the text
    EXPECT_EQ(decide({"a.example.com", {"h2"}}), 1);
    EXPECT_EQ(decide({"example.com", {"http/1.1", "h2"}}), 2);
    EXPECT_EQ(decide({"late.example.org", {"http/1.1"}}), 3);  // the hex rule comes first
    EXPECT_EQ(decide({"", {"h2c"}}), 3);

    const Bytes plain{'l', 'a', 't', 'e'};
    EXPECT_EQ(table.FirstMatch(plain.data(), plain.size(), nullptr), -1);
    EXPECT_EQ(FirstMatchRuleByRule(*port, plain.data(), plain.size()), -1);
}

}  // namespace
}  // namespace tarnwick
