#include "config/AddressPrefix.h"

#include <gtest/gtest.h>

#include "config/ForwardingPort.h"

namespace tarnwick {
namespace {

TEST(IpAddress, ParsesLiteralsOnly) {
    for (const char* good : {"0.0.0.0", "::", "[::1]", "2001:db8::5", "fe80::1%1", "fe80::1%lo"}) {
        EXPECT_TRUE(IpAddress::Parse(good)) << good;
    }
    for (const char* bad : {"", "localhost", "127.1", "256.0.0.1", "[1.2.3.4]", "::1]",
                            "fe80::1%", "fe80::1%no-such-interface", "1.2.3.4 "}) {
        EXPECT_FALSE(IpAddress::Parse(bad)) << bad;
    }
}

TEST(AddressPrefix, ParsesAndMatchesByFamilyAndBits) {
    struct Case {
        const char* prefix;
        const char* inside;
        const char* outside;
    };
    for (const Case& c : {Case{"10.0.0.0/8", "10.255.1.2", "11.0.0.0"},
                          Case{"127.0.0.2", "127.0.0.2", "127.0.0.1"},
                          Case{"192.168.1.77/26", "192.168.1.64", "192.168.1.128"},
                          Case{"0.0.0.0/0", "8.8.8.8", "::1"},
                          Case{"2001:db8::/32", "2001:db8:ffff::1", "2001:db9::"},
                          Case{"::ffff:10.0.0.0/104", "10.9.9.9", "11.0.0.1"}}) {
        auto prefix = AddressPrefix::Parse(c.prefix);
        ASSERT_TRUE(prefix) << c.prefix;
        EXPECT_TRUE(prefix->contains(*IpAddress::Parse(c.inside))) << c.prefix;
        EXPECT_FALSE(prefix->contains(*IpAddress::Parse(c.outside))) << c.prefix;
    }
    for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/+8", "host/8"}) {
        EXPECT_FALSE(AddressPrefix::Parse(bad)) << bad;
    }
}

TEST(HostPortLabel, BracketsIPv6LiteralsOnly) {
    EXPECT_EQ(HostPortLabel("example.org", 80), "example.org:80");
    EXPECT_EQ(HostPortLabel("::1", 80), "[::1]:80");
    EXPECT_EQ(HostPortLabel("[::1]", 80), "[::1]:80");
    ForwardingPort port;
    port.listenPort = 8080;
    EXPECT_EQ(port.listenLabel(), "localhost:8080");
    port.listenAddress = "::";
    EXPECT_EQ(port.listenLabel(), "[::]:8080");
}

}  // namespace
}  // namespace tarnwick
