#include "config/ConfigImage.h"

#include <gtest/gtest.h>

#include <chrono>

#include "config/FieldChecks.h"
#include "tests/support/ImageBytes.h"

namespace tarnwick {
namespace {

using testing::Bytes;
using testing::PutInt;
using testing::PutString;

// The 44-byte file of one TCP port 443 -> 192.168.1.5:80, timeout 5, no rules.
const Bytes kOnePortFile = {
    0xE9, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xBB, 0x01, 0x00,
    0x00, 0x50, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, '1',  '9',
    '2',  '.',  '1',  '6',  '8',  '.',  '1',  '.',  '5',  0x00, 0x00, 0x00, 0x00, 0x00};

std::unique_ptr<ForwardingPort> OnePort() {
    auto port = std::make_unique<ForwardingPort>();
    port->protocol = 0;
    port->listenPort = 443;
    port->forwardPort = 80;
    port->forwardIp = "192.168.1.5";
    return port;
}

TEST(ConfigImage, GoldenFileBothWays) {
    PortTable ports;
    ports.push_back(OnePort());
    EXPECT_EQ(ConfigImage::Encode(ports), kOnePortFile);

    LoadResult loaded = ConfigImage::Decode(kOnePortFile);
    EXPECT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded);
    ASSERT_EQ(loaded.ports.size(), 1u);
    const ForwardingPort& port = *loaded.ports[0];
    EXPECT_EQ(port.protocol, 0);
    EXPECT_EQ(port.listenPort, 443);
    EXPECT_EQ(port.forwardPort, 80);
    EXPECT_EQ(port.timeoutSeconds, 5);
    EXPECT_EQ(port.forwardIp, "192.168.1.5");
    EXPECT_TRUE(port.rules.empty());
}

TEST(ConfigImage, EmptyListIsEightBytes) {
    Bytes empty = {0xE9, 0x03, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ConfigImage::Encode(PortTable{}), empty);
    LoadResult loaded = ConfigImage::Decode(empty);
    EXPECT_TRUE(loaded.report.complete());
    EXPECT_TRUE(loaded.ports.empty());
}

TEST(ConfigImage, RulesAndHighBytesRoundTripUnchanged) {
    PortTable ports;
    auto port = OnePort();
    port->protocol = 7;  // kept as stored, shown as UDP
    port->timeoutSeconds = 100;  // not range-checked on load
    for (int i = 0; i < 3; ++i) {
        auto rule = std::make_unique<ForwardingRule>();
        rule->searchType = i == 0 ? 1 : 0;
        rule->caseSensitive = i == 2 ? 1 : 0;
        rule->forwardPort = 1000 + i;
        rule->forwardIp = "host" + std::to_string(i);
        rule->ruleName = "R\xE9gle \xFF\x80 " + std::to_string(i);
        rule->searchData = i == 0 ? "00 XX ff" : "";
        port->appendRule(std::move(rule));
    }
    ports.push_back(std::move(port));
    ports.push_back(OnePort());

    Bytes image = ConfigImage::Encode(ports);
    LoadResult loaded = ConfigImage::Decode(image);
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    ASSERT_EQ(loaded.ports.size(), 2u);
    EXPECT_EQ(ConfigImage::Encode(loaded.ports), image);
    EXPECT_EQ(loaded.ports[0]->rules[1]->ruleName, "R\xE9gle \xFF\x80 1");
    EXPECT_EQ(loaded.ports[0]->timeoutSeconds, 100);
    EXPECT_EQ(loaded.ports[0]->protocol, 7);
}

TEST(ConfigImage, Version1000LoadsTimeoutFiveAndIsWrittenBackAs1001) {
    Bytes old;
    PutInt(old, 1000);
    PutInt(old, 1);
    PutInt(old, 0);
    PutInt(old, 443);
    PutInt(old, 80);
    PutString(old, "192.168.1.5");
    PutInt(old, 0);
    LoadResult loaded = ConfigImage::Decode(old);
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded);
    ASSERT_EQ(loaded.ports.size(), 1u);
    EXPECT_EQ(loaded.ports[0]->timeoutSeconds, 5);
    EXPECT_EQ(ConfigImage::Encode(loaded.ports), kOnePortFile);
}

TEST(ConfigImage, StringSizeOneIsEmptyAndTextEndsAtFirstZero) {
    Bytes image;
    PutInt(image, 1001);
    PutInt(image, 1);
    PutInt(image, 0);
    PutInt(image, 1);
    PutInt(image, 2);
    PutInt(image, 5);
    PutInt(image, 1);
    image.push_back(0);  // empty forwardIp
    PutInt(image, 1);
    PutInt(image, 0);
    PutInt(image, 0);
    PutInt(image, 3);
    PutString(image, "");
    PutInt(image, 6);  // "ab\0cd\0": the text is "ab"
    for (char c : std::string("ab\0cd", 6)) image.push_back(static_cast<unsigned char>(c));
    PutString(image, "GET");
    LoadResult loaded = ConfigImage::Decode(image);
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    EXPECT_EQ(loaded.ports[0]->forwardIp, "");
    EXPECT_EQ(loaded.ports[0]->rules[0]->ruleName, "ab");
    EXPECT_EQ(loaded.ports[0]->rules[0]->searchData, "GET");
}

struct BadImage {
    const char* name;
    Bytes image;
    int portsKept;
    std::size_t offset;
    const char* field;
};

Bytes TwoPortsThenCut(std::size_t keep) {
    PortTable ports;
    ports.push_back(OnePort());
    ports.push_back(OnePort());
    Bytes image = ConfigImage::Encode(ports);
    image.resize(keep);
    return image;
}

Bytes WithInt(Bytes image, std::size_t at, std::int32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<unsigned char>(value >> (8 * i));
    return image;
}

Bytes WithTrailingBytes(Bytes image) {
    image.insert(image.end(), {1, 2, 3});
    return image;
}

class ConfigImageStops : public ::testing::TestWithParam<BadImage> {};

TEST_P(ConfigImageStops, KeepsWholePortsAndSaysWhere) {
    const BadImage& bad = GetParam();
    LoadResult loaded = ConfigImage::Decode(bad.image);
    EXPECT_EQ(loaded.report.outcome, LoadReport::Outcome::Incomplete);
    EXPECT_FALSE(loaded.report.complete());
    EXPECT_EQ(static_cast<int>(loaded.ports.size()), bad.portsKept);
    EXPECT_EQ(loaded.report.portsRead, bad.portsKept);
    EXPECT_EQ(loaded.report.offset, bad.offset) << loaded.report.describe();
    EXPECT_EQ(loaded.report.field, bad.field) << loaded.report.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigImageStops,
    ::testing::Values(
        BadImage{"Version999", WithInt(kOnePortFile, 0, 999), 0, 0, "version"},
        BadImage{"Version1003", WithInt(kOnePortFile, 0, 1003), 0, 0, "version"},
        BadImage{"EmptyFile", {}, 0, 0, "version"},
        BadImage{"ShortVersion", {0xE9, 0x03}, 0, 0, "version"},
        BadImage{"CutInSecondPort", TwoPortsThenCut(44 + 10), 1, 52, "port 2, forwardPort"},
        BadImage{"CutInString", TwoPortsThenCut(44 + 30), 1, 64, "port 2, forwardIp"},
        BadImage{"StringLongerThanFile", WithInt(kOnePortFile, 24, 45), 0, 24,
                 "port 1, forwardIp size"},
        BadImage{"NegativeStringSize", WithInt(kOnePortFile, 24, -5), 0, 24,
                 "port 1, forwardIp size"},
        BadImage{"NegativePortCount", WithInt(kOnePortFile, 4, -1), 0, 4, "portCount"},
        BadImage{"HugeRuleCount", WithInt(kOnePortFile, 40, 0x7FFFFFFF), 0, 40,
                 "port 1, ruleCount"},
        BadImage{"OneRuleOverTheLimit", WithInt(kOnePortFile, 40, MAX_RULES_PER_PORT + 1), 0, 40,
                 "port 1, ruleCount"},
        BadImage{"TrailingBytes", WithTrailingBytes(kOnePortFile), 0, 44, "extension block"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigImage, HostileCountInTwelveBytesStopsAtOnce) {
    Bytes image;
    PutInt(image, 1001);
    PutInt(image, 0x7FFFFFFF);
    PutInt(image, 0);
    auto start = std::chrono::steady_clock::now();
    LoadResult loaded = ConfigImage::Decode(image);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(loaded.ports.empty());
    EXPECT_EQ(loaded.report.offset, 12u);
    EXPECT_EQ(loaded.report.field, "port 1, listenPort");
}

TEST(ConfigImage, NegativeRuleCountReadsAStandardPortAndTheLoadGoesOn) {
    PortTable two;
    two.push_back(OnePort());
    two.push_back(OnePort());
    two[1]->listenPort = 444;
    LoadResult loaded = ConfigImage::Decode(WithInt(ConfigImage::Encode(two), 40, -3));
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    ASSERT_EQ(loaded.ports.size(), 2u);
    EXPECT_FALSE(loaded.ports[0]->isSmart());
    EXPECT_EQ(loaded.ports[1]->listenPort, 444);
}

TEST(ConfigImage, LoadStopsAtThePortBeyondTheLimit) {
    Bytes image;
    PutInt(image, 1001);
    PutInt(image, MAX_PORTS + 1);
    for (int i = 0; i <= MAX_PORTS; ++i) {
        for (int field = 0; field < 4; ++field) PutInt(image, field);
        PutString(image, "");
        PutInt(image, 0);
    }
    LoadResult loaded = ConfigImage::Decode(image);
    EXPECT_EQ(loaded.report.outcome, LoadReport::Outcome::Incomplete);
    EXPECT_EQ(loaded.ports.size(), static_cast<std::size_t>(MAX_PORTS));
    EXPECT_EQ(loaded.report.offset, 8u + 25u * MAX_PORTS);
    EXPECT_EQ(loaded.report.field, "port 10001");
}

TEST(ConfigImage, DescribeNamesByteFieldAndPortsKept) {
    LoadResult loaded = ConfigImage::Decode(TwoPortsThenCut(44 + 30));
    loaded.report.path = "/etc/tarnwick/Brisel.cfg";
    EXPECT_EQ(loaded.report.describe(),
              "/etc/tarnwick/Brisel.cfg: stopped at byte 64 (port 2, forwardIp): the file ends "
              "inside this field; 1 port kept");
}

}  // namespace
}  // namespace tarnwick
