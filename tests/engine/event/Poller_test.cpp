#include "engine/event/Poller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/engine/event/EventTestSupport.h"

namespace tarnwick {
namespace {

using testing::SocketPair;

// Each ready descriptor comes back under the caller's token, in the order added; the
// quiet ones not at all, and nothing is left over from an earlier wait.
TEST(Poller, ReportsReadyDescriptorsByTokenInTheOrderAdded) {
    SocketPair quiet;
    SocketPair talking;
    ASSERT_EQ(::write(talking.b.get(), "x", 1), 1);

    Poller poller;
    poller.add(quiet.a.get(), 70, true);
    poller.add(talking.a.get(), 30, true);
    poller.add(quiet.b.get(), 50, false, true);
    ASSERT_EQ(poller.wait(0), 2);
    ASSERT_EQ(poller.ready().size(), 2u);
    EXPECT_EQ(poller.ready()[0].token, 30u);
    EXPECT_TRUE(poller.ready()[0].readiness.readable);
    EXPECT_FALSE(poller.ready()[0].readiness.writable);
    EXPECT_EQ(poller.ready()[1].token, 50u);
    EXPECT_TRUE(poller.ready()[1].readiness.writable);

    poller.clear();
    poller.add(quiet.a.get(), 70, true);
    EXPECT_EQ(poller.wait(0), 0);
    EXPECT_TRUE(poller.ready().empty());
}

}  // namespace
}  // namespace tarnwick
