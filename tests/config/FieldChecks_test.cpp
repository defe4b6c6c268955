#include "config/FieldChecks.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(ReadNumber, ReadsLikeAtoiAndSaturates) {
    struct Case {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"80", 80},          {" 80", 80},        {"\t+443", 443},     {"80abc", 80},
        {"5.9", 5},          {"", 0},            {"abc", 0},          {"-1", -1},
        {"- 1", 0},          {"+-1", 0},         {"65536", 65536},    {"0080", 80},
        {"2147483647", 2147483647},              {"2147483648", 2147483647},
        {"99999999999999999999", 2147483647},    {"-2147483648", -2147483647 - 1},
        {"-99999999999", -2147483647 - 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadNumber(c.text), c.value) << '"' << c.text << '"';
    }
}

PortValues GoodPort() { return {80, 80, 5, "192.168.1.5"}; }

std::string FailedPortField(const PortValues& values) {
    auto failure = CheckPortValues(values);
    return failure ? failure->field : "";
}

TEST(CheckPortValues, ChecksInOrderAndStopsAtTheFirst) {
    EXPECT_FALSE(CheckPortValues(GoodPort()));
    for (std::int32_t bad : {0, -1, 65536}) {
        PortValues v = GoodPort();
        v.listenPort = bad;
        v.forwardPort = bad;  // both bad: only the listen port is reported
        auto failure = CheckPortValues(v);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->field, "listenPort");
        EXPECT_EQ(failure->message, "Invalid Listen Port Entered, value must be between 1-65535");
        EXPECT_EQ(failure->caption, "Invalid Port");
    }
    PortValues v = GoodPort();
    v.listenPort = 65535;
    v.forwardPort = 0;
    EXPECT_EQ(FailedPortField(v), "forwardPort");
    v.forwardPort = 1;
    for (std::int32_t timeout : {0, 31}) {
        v.timeoutSeconds = timeout;
        auto failure = CheckPortValues(v);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->message, "Invalid Timeout Value, value must be between 1-30 seconds");
        EXPECT_EQ(failure->caption, "Invalid Timeout Value");
    }
    v.timeoutSeconds = 30;
    v.forwardIp = std::string(260, 'a');
    EXPECT_EQ(FailedPortField(v), "");
    v.forwardIp.push_back('a');
    auto failure = CheckPortValues(v);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message, "IP cannot exceed 260 characters");
    v.forwardIp.clear();
    EXPECT_EQ(FailedPortField(v), "");
}

TEST(CheckRuleValues, ChecksInOrderWithTheirMessages) {
    RuleValues v{80, "My Rule", "192.168.1.5", "00 00 00 FF FF FF"};
    EXPECT_FALSE(CheckRuleValues(v));
    v.forwardPort = 65536;
    v.ruleName = std::string(261, 'n');
    auto failure = CheckRuleValues(v);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message, "Invalid Port Entered, value must be between 1-65535");

    v.forwardPort = 65535;
    failure = CheckRuleValues(v);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message, "Rule Name cannot exceed 260 characters");
    EXPECT_EQ(failure->caption, "Rule Name too long");

    v.ruleName.pop_back();
    v.forwardIp = std::string(261, 'i');
    failure = CheckRuleValues(v);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, "forwardIp");

    v.forwardIp = "";
    v.searchData = std::string(4096, 'x');
    EXPECT_FALSE(CheckRuleValues(v));
    v.searchData.push_back('x');
    failure = CheckRuleValues(v);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message, "Search Data cannot exceed 4096 characters");
    EXPECT_EQ(failure->caption, "Search Data too long");

    EXPECT_FALSE(CheckRuleValues(RuleValues{1, "", "", ""}));
}

}  // namespace
}  // namespace tarnwick
