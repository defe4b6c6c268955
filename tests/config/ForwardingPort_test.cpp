#include "config/ForwardingPort.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

std::unique_ptr<ForwardingRule> MakeRule(const std::string& name, const std::string& data) {
    auto rule = std::make_unique<ForwardingRule>();
    rule->searchType = 1;
    rule->caseSensitive = 1;
    rule->forwardPort = 22;
    rule->forwardIp = "10.0.0.1";
    rule->ruleName = name;
    rule->searchData = data;
    return rule;
}

TEST(ForwardingPort, NewRecordHasTheDocumentedDefaults) {
    ForwardingPort port;
    EXPECT_TRUE(port.forwardIp.empty());
    EXPECT_TRUE(port.rules.empty());
    EXPECT_EQ(port.timeoutSeconds, 5);
    EXPECT_EQ(port.ownerWindow, 0u);
    EXPECT_FALSE(port.threadHandle);
    EXPECT_EQ(port.threadId, 0u);
    EXPECT_EQ(port.captureFirstPacket, 0);
    EXPECT_STREQ(port.typeLabel(), "Standard");
    EXPECT_STREQ(port.protocolLabel(), "TCP");
}

TEST(ForwardingPort, LabelsFollowRulesAndProtocol) {
    ForwardingPort port;
    port.timeoutSeconds = 30;
    EXPECT_STREQ(port.typeLabel(), "Standard");
    port.appendRule(MakeRule("r", "00"));
    EXPECT_STREQ(port.typeLabel(), "Smart");
    port.protocol = 7;  // a hand-edited file: any non-zero value is UDP
    EXPECT_STREQ(port.protocolLabel(), "UDP");
    EXPECT_FALSE(port.isTcp());
}

TEST(ForwardingPort, DeepCopySharesNothingAndKeepsEveryField) {
    ForwardingPort port;
    port.protocol = 1;
    port.listenPort = 443;
    port.forwardPort = 80;
    port.forwardIp = "192.168.1.5";
    port.timeoutSeconds = 12;
    port.ownerWindow = 9;
    port.threadHandle = ThreadHandle::create();
    port.threadId = 42;
    port.captureFirstPacket = 1;
    port.appendRule(MakeRule("first", "00 01"));
    port.appendRule(MakeRule("second", "GET"));

    auto copy = port.deepCopy();
    EXPECT_EQ(copy->protocol, 1);
    EXPECT_EQ(copy->listenPort, 443);
    EXPECT_EQ(copy->forwardPort, 80);
    EXPECT_EQ(copy->forwardIp, "192.168.1.5");
    EXPECT_EQ(copy->timeoutSeconds, 12);
    EXPECT_EQ(copy->ownerWindow, 9u);
    EXPECT_TRUE(copy->threadHandle == port.threadHandle);
    EXPECT_EQ(copy->threadId, 42u);
    EXPECT_EQ(copy->captureFirstPacket, 1);
    ASSERT_EQ(copy->rules.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_NE(copy->rules[i].get(), port.rules[i].get());
        EXPECT_EQ(copy->rules[i]->ruleName, port.rules[i]->ruleName);
        EXPECT_EQ(copy->rules[i]->searchData, port.rules[i]->searchData);
    }

    // Editing the original, or destroying it, leaves the copy as it was.
    port.rules[0]->searchData = "changed";
    port.captureFirstPacket = 0;
    port.rules.clear();
    EXPECT_EQ(copy->rules[0]->searchData, "00 01");
    EXPECT_EQ(copy->captureFirstPacket, 1);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

TEST(ForwardingPort, SameSettingsComparesStoredFieldsAndRulesInOrder) {
    ForwardingPort a;
    a.listenPort = 80;
    a.listenAddress = "127.0.0.1";
    a.allowFrom = {"10.0.0.0/8"};
    a.appendRule(MakeRule("one", "00"));
    a.appendRule(MakeRule("two", "01"));
    auto b = a.deepCopy();
    b->threadId = 5;             // run-time fields do not count
    b->captureFirstPacket = 1;
    EXPECT_TRUE(a.sameSettings(*b));
    std::swap(b->rules[0], b->rules[1]);
    EXPECT_FALSE(a.sameSettings(*b));
    std::swap(b->rules[0], b->rules[1]);
    b->rules[1]->ruleName = "Two";
    EXPECT_FALSE(a.sameSettings(*b));
    b = a.deepCopy();
    b->rules.pop_back();
    EXPECT_FALSE(a.sameSettings(*b));
    b = a.deepCopy();
    b->timeoutSeconds = 6;
    EXPECT_FALSE(a.sameSettings(*b));
    b = a.deepCopy();
    b->listenAddress = "::";
    EXPECT_FALSE(a.sameSettings(*b));
    b = a.deepCopy();
    b->allowFrom.push_back("::1");
    EXPECT_FALSE(a.sameSettings(*b));
}

}  // namespace
}  // namespace tarnwick
