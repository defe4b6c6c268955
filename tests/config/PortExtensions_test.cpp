// The block after the last port entry that holds the settings the entries have no room for.
#include "config/PortExtensions.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/ImageBytes.h"

namespace tarnwick {
namespace {

using testing::Bytes;
using testing::PutInt;
using testing::PutString;

std::unique_ptr<ForwardingPort> Port(int listenPort) {
    auto port = std::make_unique<ForwardingPort>();
    port->listenPort = listenPort;
    port->forwardPort = 80;
    port->forwardIp = "192.168.1.5";
    return port;
}

// Two ports, the second one listening on 127.0.0.1 for two kinds of clients.
PortTable TwoPorts() {
    PortTable ports;
    ports.push_back(Port(443));
    ports.push_back(Port(444));
    ports[1]->listenAddress = "127.0.0.1";
    ports[1]->allowFrom = {"10.0.0.0/8", "::1"};
    return ports;
}

// The entries of TwoPorts() without their settings: what a version 1001 file holds.
Bytes Entries() {
    PortTable plain = TwoPorts();
    plain[1]->listenAddress.clear();
    plain[1]->allowFrom.clear();
    return ConfigImage::Encode(plain);
}

Bytes WithVersion(Bytes image, std::int32_t version) {
    Bytes number;
    PutInt(number, version);
    std::copy(number.begin(), number.end(), image.begin());
    return image;
}

Bytes Block(const char* magic, const Bytes& body) {
    Bytes block(magic, magic + 4);
    PutInt(block, static_cast<std::int32_t>(body.size()));
    block.insert(block.end(), body.begin(), body.end());
    return block;
}

Bytes Concat(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The tagged block of TwoPorts(), by hand, with `extra` fields added to the second port.
Bytes TaggedBody(const Bytes& extra = {}, std::int32_t extraFields = 0) {
    Bytes body;
    PutInt(body, 0);  // the first port: no fields
    PutInt(body, 2 + extraFields);
    PutInt(body, PortExtensions::TAG_LISTEN_ADDRESS);
    PutInt(body, 4 + 10);
    PutString(body, "127.0.0.1");
    PutInt(body, PortExtensions::TAG_ALLOW_FROM);
    PutInt(body, 4 + 15 + 8);
    PutInt(body, 2);
    PutString(body, "10.0.0.0/8");
    PutString(body, "::1");
    body.insert(body.end(), extra.begin(), extra.end());
    return body;
}

TEST(PortExtensions, SettingsMakeAVersion1002FileWithTheTaggedBlock) {
    PortTable ports = TwoPorts();
    Bytes image = ConfigImage::Encode(ports);
    EXPECT_EQ(image, Concat(WithVersion(Entries(), 1002), Block("TWX2", TaggedBody())));

    LoadResult loaded = ConfigImage::Decode(image);
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    ASSERT_EQ(loaded.ports.size(), 2u);
    EXPECT_FALSE(loaded.ports[0]->hasAddressSettings());
    EXPECT_TRUE(loaded.ports[1]->sameSettings(*ports[1]));
    EXPECT_EQ(ConfigImage::Encode(loaded.ports), image);

    // In another row order the block follows the rows.
    std::swap(ports[0], ports[1]);
    LoadResult swapped = ConfigImage::Decode(ConfigImage::Encode(ports));
    EXPECT_EQ(swapped.ports[0]->listenAddress, "127.0.0.1");
    EXPECT_EQ(swapped.ports[1]->listenAddress, "");

    // Without the settings the file is version 1001 and the entries alone.
    EXPECT_EQ(Entries()[0], 0xE9);
    EXPECT_EQ(Entries()[1], 0x03);
}

// The PROXY protocol settings alone also need the block: a reader that does not know them
// would send the destination a stream without the header it expects.
TEST(PortExtensions, ProxyProtocolSettingsRoundTrip) {
    PortTable ports;
    ports.push_back(Port(443));
    ports.push_back(Port(444));
    ports[0]->acceptProxyProtocol = true;
    ports[1]->proxyProtocol = PROXY_PROTOCOL_V2;
    Bytes body;
    for (auto [tag, value] : {std::pair{PortExtensions::TAG_ACCEPT_PROXY_PROTOCOL, 1},
                              std::pair{PortExtensions::TAG_PROXY_PROTOCOL, 2}}) {
        PutInt(body, 1);  // one field
        PutInt(body, tag);
        PutInt(body, 4);
        PutInt(body, value);
    }
    Bytes image = ConfigImage::Encode(ports);
    PortTable plain;
    plain.push_back(Port(443));
    plain.push_back(Port(444));
    EXPECT_EQ(image, Concat(WithVersion(ConfigImage::Encode(plain), 1002), Block("TWX2", body)));

    LoadResult loaded = ConfigImage::Decode(image);
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    ASSERT_EQ(loaded.ports.size(), 2u);
    EXPECT_TRUE(loaded.ports[0]->sameSettings(*ports[0]));
    EXPECT_TRUE(loaded.ports[1]->sameSettings(*ports[1]));
    EXPECT_EQ(ConfigImage::Encode(loaded.ports), image);
}

TEST(PortExtensions, OptionalSettingsOfALaterVersionAreSkipped) {
    Bytes optional;
    PutInt(optional, PortExtensions::OPTIONAL_TAGS + 77);
    PutInt(optional, 3);
    optional.insert(optional.end(), {1, 2, 3});
    LoadResult loaded = ConfigImage::Decode(
        Concat(WithVersion(Entries(), 1002), Block("TWX2", TaggedBody(optional, 1))));
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    EXPECT_EQ(loaded.ports[1]->allowFrom.size(), 2u);
}

// A TLS rule's entry is a text rule; its kind is in the block, and a kind that cannot be
// read keeps every port out, as any restriction does.
TEST(PortExtensions, RuleKindsRoundTripAndAKindNotKnownWithholdsThePorts) {
    PortTable ports;
    ports.push_back(Port(443));
    for (auto [kind, data] : {std::pair{RuleKind::Pattern, "GET "},
                              std::pair{RuleKind::TlsServerName, "*.example.com"},
                              std::pair{RuleKind::TlsAlpn, "h2"}}) {
        auto rule = std::make_unique<ForwardingRule>();
        rule->kind = kind;
        rule->searchData = data;
        ports[0]->appendRule(std::move(rule));
    }
    const Bytes image = ConfigImage::Encode(ports);
    EXPECT_EQ(image[0], 0xEA);  // version 1002
    LoadResult loaded = ConfigImage::Decode(image);
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    ASSERT_EQ(loaded.ports[0]->rules.size(), 3u);
    EXPECT_EQ(loaded.ports[0]->rules[1]->kind, RuleKind::TlsServerName);
    EXPECT_EQ(loaded.ports[0]->rules[2]->kind, RuleKind::TlsAlpn);
    EXPECT_EQ(ConfigImage::Encode(loaded.ports), image);

    // The block ends with the field: tag, size, count 3, kinds 0, 1 and 2.
    for (auto [at, value] : {std::pair{image.size() - 4, 3}, std::pair{image.size() - 16, 2}}) {
        Bytes damaged = image, number;
        PutInt(number, value);
        std::copy(number.begin(), number.end(), damaged.begin() + static_cast<long>(at));
        LoadResult refused = ConfigImage::Decode(damaged);
        EXPECT_TRUE(refused.report.portsWithheld) << refused.report.describe();
        EXPECT_TRUE(refused.ports.empty());
    }

    ports[0]->rules.erase(ports[0]->rules.begin() + 1, ports[0]->rules.end());
    EXPECT_EQ(ConfigImage::Encode(ports)[0], 0xE9);  // pattern rules alone: version 1001
}

// The UDP association settings travel as optional fields, only when not the defaults.
TEST(PortExtensions, UdpSettingsRoundTripAsOptionalFields) {
    PortTable ports = TwoPorts();
    ports[0]->protocol = PROTOCOL_UDP;
    ports[0]->udpIdleSeconds = 5;
    ports[0]->udpMaxAssociations = 65536;
    Bytes image = ConfigImage::Encode(ports);
    Bytes fields;
    PutInt(fields, 2);
    for (auto [tag, value] : {std::pair{PortExtensions::TAG_UDP_IDLE_SECONDS, 5},
                              std::pair{PortExtensions::TAG_UDP_MAX_ASSOCIATIONS, 65536}}) {
        PutInt(fields, tag);
        PutInt(fields, 4);
        PutInt(fields, value);
    }
    EXPECT_NE(std::search(image.begin(), image.end(), fields.begin(), fields.end()), image.end());

    LoadResult loaded = ConfigImage::Decode(image);
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    EXPECT_TRUE(loaded.ports[0]->sameSettings(*ports[0]));
    EXPECT_EQ(loaded.ports[1]->udpIdleSeconds, DEFAULT_UDP_IDLE_SECONDS);
    EXPECT_EQ(ConfigImage::Encode(loaded.ports), image);
}

TEST(PortExtensions, TheUntaggedBlockOfVersion1001IsStillRead) {
    Bytes body;
    PutString(body, "");
    PutInt(body, 0);
    PutString(body, "127.0.0.1");
    PutInt(body, 1);
    PutString(body, "10.0.0.0/8");
    LoadResult loaded = ConfigImage::Decode(Concat(Entries(), Block("TWX1", body)));
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    EXPECT_EQ(loaded.ports[1]->listenAddress, "127.0.0.1");
    EXPECT_EQ(loaded.ports[1]->allowFrom, std::vector<std::string>{"10.0.0.0/8"});
}

struct Damage {
    const char* name;
    Bytes image;
    const char* field;
};

class PortExtensionsDamaged : public ::testing::TestWithParam<Damage> {};

// A restriction that cannot be read must never widen a port: no port is loaded.
TEST_P(PortExtensionsDamaged, WithholdsEveryPort) {
    const Damage& damage = GetParam();
    LoadResult loaded = ConfigImage::Decode(damage.image);
    EXPECT_EQ(loaded.report.outcome, LoadReport::Outcome::Incomplete);
    EXPECT_TRUE(loaded.report.portsWithheld);
    EXPECT_EQ(loaded.report.field, damage.field) << loaded.report.describe();
    EXPECT_TRUE(loaded.ports.empty());
    EXPECT_EQ(loaded.report.portsRead, 0);
    EXPECT_NE(loaded.report.describe().find("no port is loaded"), std::string::npos);
}

Bytes Good() { return ConfigImage::Encode(TwoPorts()); }

Bytes Cut(std::size_t fromEnd) {
    Bytes image = Good();
    image.resize(image.size() - fromEnd);
    return image;
}

Bytes Patched(std::size_t at, std::int32_t value) {
    Bytes image = Good();
    Bytes number;
    PutInt(number, value);
    std::copy(number.begin(), number.end(), image.begin() + static_cast<long>(at));
    return image;
}

Bytes UnknownCritical() {
    Bytes field;
    PutInt(field, 9);
    PutInt(field, 4);
    PutInt(field, 1);
    return Concat(WithVersion(Entries(), 1002), Block("TWX2", TaggedBody(field, 1)));
}

Bytes UdpIdleOutOfRange() {
    Bytes field;
    PutInt(field, PortExtensions::TAG_UDP_IDLE_SECONDS);
    PutInt(field, 4);
    PutInt(field, 0);
    return Concat(WithVersion(Entries(), 1002), Block("TWX2", TaggedBody(field, 1)));
}

const std::size_t BLOCK = Entries().size();

INSTANTIATE_TEST_SUITE_P(
    Cases, PortExtensionsDamaged,
    ::testing::Values(
        Damage{"CutByOneByte", Cut(1), "extension block length"},
        Damage{"BareMagic", Cut(Good().size() - BLOCK - 4), "extension block length"},
        Damage{"NoBlockInVersion1002", WithVersion(Entries(), 1002), "extension block"},
        Damage{"LengthOneShort", Patched(BLOCK + 4, static_cast<std::int32_t>(TaggedBody().size() - 1)),
               "extension block, port 2, field 2 size"},
        Damage{"LengthTooLong", Patched(BLOCK + 4, 1000), "extension block length"},
        Damage{"FieldCountOneShort", Patched(BLOCK + 12, 1), "extension block"},
        Damage{"UnknownCriticalSetting", UnknownCritical(), "extension block, port 2, field 9"},
        Damage{"UdpIdleOutOfRange", UdpIdleOutOfRange(),
               "extension block, port 2, udpIdleSeconds"},
        Damage{"JunkAfterVersion1001Entries", Concat(Entries(), Bytes{'T', 'W'}),
               "extension block"},
        Damage{"UntaggedBlockCut", Concat(Entries(), Bytes{'T', 'W', 'X', '1', 9, 0, 0}),
               "extension block length"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick
