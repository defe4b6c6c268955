#include "engine/udp/ClientDeadlines.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

ClientKey Key(int port, bool withPort = true) {
    return ClientKey::Of(SocketAddress(*IpAddress::Parse("127.0.0.1"), port), withPort);
}

TEST(ClientKey, TellsClientsApartByAddressAndPortOrByAddressAlone) {
    EXPECT_NE(Key(1000), Key(1001));
    EXPECT_EQ(Key(1000, false), Key(1001, false));
    EXPECT_NE(Key(1000, false),
              ClientKey::Of(SocketAddress(*IpAddress::Parse("127.0.0.2"), 1000), false));
    EXPECT_NE(Key(1000), ClientKey::Of(SocketAddress(*IpAddress::Parse("::1"), 1000)));
}

// A flood from many clients finds the table full: those beyond it get no entry until
// entries run out, so memory stays bounded.
TEST(ClientDeadlines, EntriesRunOutAndTheTableNeverGrowsBeyondItsCapacity) {
    ClientDeadlines table(2);
    const auto now = ClientDeadlines::Clock::now();
    EXPECT_TRUE(table.start(Key(1), now + 10s, now));
    EXPECT_TRUE(table.start(Key(2), now + 1s, now));
    EXPECT_FALSE(table.start(Key(3), now + 10s, now));
    EXPECT_TRUE(table.active(Key(1), now));
    EXPECT_FALSE(table.active(Key(3), now));
    EXPECT_EQ(table.size(), 2u);

    const auto later = now + 2s;  // key 2 has run out, and a prune is due
    EXPECT_FALSE(table.active(Key(2), later));
    EXPECT_TRUE(table.start(Key(3), later + 10s, later));
    EXPECT_FALSE(table.start(Key(4), later + 10s, later));
    EXPECT_EQ(table.size(), 2u);
}

}  // namespace
}  // namespace tarnwick
