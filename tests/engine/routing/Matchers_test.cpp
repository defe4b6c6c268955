#include "engine/routing/Matchers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace tarnwick {
namespace {

using Bytes = std::vector<unsigned char>;

int Hex(const std::string& pattern, const Bytes& data) {
    return MatchHex(pattern, data.data(), data.size());
}
int Text(const std::string& pattern, const std::string& data) {
    return MatchText(pattern, reinterpret_cast<const unsigned char*>(data.data()), data.size());
}
int TextCase(const std::string& pattern, const std::string& data) {
    return MatchTextCase(pattern, reinterpret_cast<const unsigned char*>(data.data()),
                         data.size());
}

TEST(MatchHex, WildcardPatternFoundInsideTheData) {
    EXPECT_EQ(Hex("00 13 FF XX 00 00", {0x41, 0x00, 0x13, 0xFF, 0x7E, 0x00, 0x00, 0x42}), 1);
    EXPECT_EQ(Hex("00 13 FF XX 00 00", {0x00, 0x13, 0xFF, 0x7E, 0x00}), 0);  // runs off the end
    EXPECT_EQ(Hex("00 13 ff xX 00 00", {0x00, 0x13, 0xFF, 0x00, 0x00, 0x00}), 1);
}

TEST(MatchHex, SpacesAndCaseDoNotMatterButOddLengthAndEmptyNeverMatch) {
    const Bytes data = {0x00, 0x13, 0xFF};
    for (const char* same : {"0013ff", "00 13 FF", "0 013 F F", "  00 13ff  "}) {
        EXPECT_EQ(Hex(same, data), 1) << same;
    }
    EXPECT_EQ(Hex("00 1", data), 0);
    EXPECT_EQ(Hex("", data), 0);
    EXPECT_EQ(Hex("   ", data), 0);
    EXPECT_EQ(Hex("xx", {0x99}), 1);
    EXPECT_EQ(Hex("xx", {}), 0);
    EXPECT_EQ(Hex("00", {}), 0);
}

TEST(MatchHex, PairsReadLikeStrtolBase16) {
    EXPECT_EQ(Hex("0a", {0x0A}), 1);
    EXPECT_EQ(Hex("1g", {0x01}), 1);
    EXPECT_EQ(Hex("zz", {0x00}), 1);
    EXPECT_EQ(Hex("0x", {0x00}), 1);
    EXPECT_EQ(Hex("-1", {0xFF}), 0);
    EXPECT_EQ(Hex("+f", {0x0F}), 1);
    EXPECT_EQ(Hex("\tf", {0x0F}), 1);  // only the space character is removed; tab is skipped by strtol
}

// Every pair of pattern characters against strtol itself (C locale, as in this test).
TEST(MatchHex, EveryPairAgreesWithStrtol) {
    Bytes everyByte(256);
    for (int b = 0; b < 256; ++b) everyByte[b] = static_cast<unsigned char>(b);
    for (int c1 = 1; c1 < 256; ++c1) {
        for (int c2 = 1; c2 < 256; ++c2) {
            if (c1 == ' ' || c2 == ' ') continue;
            std::string pair = {static_cast<char>(c1), static_cast<char>(c2)};
            std::string lowered = pair;
            for (char& c : lowered) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
            }
            long expected = std::strtol(lowered.c_str(), nullptr, 16);
            bool wildcard = lowered == "xx";
            bool inRange = expected >= 0 && expected <= 255;
            ASSERT_EQ(Hex(pair, everyByte), (wildcard || inRange) ? 1 : 0) << pair;
            if (inRange && !wildcard) {
                ASSERT_EQ(Hex(pair, {static_cast<unsigned char>(expected)}), 1) << pair;
                ASSERT_EQ(Hex(pair, {static_cast<unsigned char>(expected ^ 0x80)}), 0) << pair;
            }
        }
    }
}

TEST(CheckHexPattern, SaysNeverOnlyOfPatternsThatMatchNothingAndWhatOddPairsMatch) {
    struct Case {
        const char* pattern;
        const char* problem;
        Bytes matched;  // data the pattern matches; empty when it can never match
    };
    const Case cases[] = {
        {"16 03 XX", "", {0x16, 0x03, 0x99}},
        {"16 03 0", "hex pattern has an odd number of digits, it can never match", {}},
        {"GET", "hex pattern has an odd number of digits, it can never match", {}},
        {"   ", "hex pattern has no digits, it can never match", {}},
        {"zz 41 -1", "hex pair 3 \"-1\" stands for no byte, it can never match", {}},
        {"41 1G", "hex pair 2 \"1g\" is not two hex digits; it matches the byte 01", {0x41, 0x01}},
        {"-0 +f", "hex pair 1 \"-0\" is not two hex digits; it matches the byte 00", {0x00, 0x0F}},
    };
    for (const Case& c : cases) {
        HexPatternCheck check = CheckHexPattern(c.pattern);
        EXPECT_EQ(check.problem, c.problem) << c.pattern;
        EXPECT_EQ(check.neverMatches, c.matched.empty()) << c.pattern;
        if (!c.matched.empty()) {
            EXPECT_EQ(Hex(c.pattern, c.matched), 1) << c.pattern;
        }
    }
}

TEST(MatchText, FoldsOnlyAsciiLettersOfTheData) {
    const std::string request = "GET / HTTP/1.1\r\nuser-agent: MOZILLA/5.0\r\n";
    EXPECT_EQ(Text("User-Agent: Mozilla", request), 1);
    EXPECT_EQ(Text("User-Agent: Mozilla", "xx USER-AGENT: mozilla"), 1);
    EXPECT_EQ(TextCase("User-Agent: Mozilla", request), 0);
    EXPECT_EQ(TextCase("User-Agent: Mozilla", "a User-Agent: Mozilla"), 1);
    // Bytes outside A-Z are never folded: 0xC9 is not 0xE9, '[' is not '{'.
    EXPECT_EQ(Text("\xE9", "\xC9"), 0);
    EXPECT_EQ(Text("{", "["), 0);
    EXPECT_EQ(Text("", request), 0);
    EXPECT_EQ(TextCase("", request), 0);
    EXPECT_EQ(Text("ab", "a"), 0);
}

TEST(MatchText, SearchBeginsAtTheStartPosition) {
    const std::string data = "abcabc";
    auto bytes = reinterpret_cast<const unsigned char*>(data.data());
    EXPECT_EQ(MatchText("abc", bytes, data.size(), 3), 1);
    EXPECT_EQ(MatchText("abc", bytes, data.size(), 4), 0);
    EXPECT_EQ(MatchTextCase("c", bytes, data.size(), 6), 0);
}

}  // namespace
}  // namespace tarnwick
