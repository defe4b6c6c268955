#include "engine/loop/Poller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/EventTestSupport.h"

namespace tarnwick {
namespace {

using testing::SocketPair;

// Each descriptor comes back under the caller's token with what changed, once per change
// (edge-triggered): a quiet one reports that it can be written to, a talking one that it
// can be read, and neither again until something new happens; a removed one not at all.
TEST(Poller, ReportsEachChangeOnceUnderTheCallersToken) {
    SocketPair quiet;
    SocketPair talking;
    ASSERT_EQ(::write(talking.b.get(), "x", 1), 1);

    Poller poller;
    ASSERT_EQ(poller.add(quiet.a.get(), 70), 0);
    ASSERT_EQ(poller.add(talking.a.get(), 30), 0);
    ASSERT_EQ(poller.wait(0), 2);
    for (const Poller::Event& event : poller.events()) {
        EXPECT_TRUE(event.token == 30 || event.token == 70);
        EXPECT_EQ(event.readable, event.token == 30);
        EXPECT_TRUE(event.writable);
    }
    EXPECT_EQ(poller.wait(0), 0) << "nothing new: nothing reported";

    ASSERT_EQ(::write(talking.b.get(), "y", 1), 1);
    ASSERT_EQ(poller.wait(0), 1);
    EXPECT_EQ(poller.events()[0].token, 30u);

    ASSERT_EQ(poller.remove(talking.a.get()), 0);
    ASSERT_EQ(::write(talking.b.get(), "z", 1), 1);
    talking.b.reset();
    quiet.b.reset();
    ASSERT_EQ(poller.wait(0), 1);
    EXPECT_EQ(poller.events()[0].token, 70u);
    EXPECT_TRUE(poller.events()[0].hangup);
    EXPECT_TRUE(poller.events()[0].peerClosed);
}

}  // namespace
}  // namespace tarnwick
