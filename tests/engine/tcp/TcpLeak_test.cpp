// Many connections and many stop/restart cycles leave no descriptor and no thread behind.
#include <gtest/gtest.h>

#include "tests/engine/tcp/TcpTestSupport.h"
#include "tests/support/TestBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::PortHarness;
using testing::ReadUpTo;
using testing::StandardPort;
using testing::TestBackend;

constexpr int CONNECTIONS = 1000;
constexpr int CYCLES = 20;
constexpr int CONCURRENT = 4;  // within the listen backlog of 5: no SYN is dropped

TEST(TcpLeak, DescriptorsAndThreadsReturnToTheBaseline) {
    TestBackend echo("E:");
    const std::size_t baseFds = testing::OpenDescriptors();
    const std::size_t baseThreads = testing::LiveThreads();
    {
        PortHarness port(StandardPort(echo.port()));
        ASSERT_TRUE(port.start());
        for (int done = 0; done < CONNECTIONS; done += CONCURRENT) {
            std::vector<UniqueFd> clients;
            for (int i = 0; i < CONCURRENT; ++i) {
                clients.push_back(port.connect());
                ASSERT_TRUE(clients.back().valid());
            }
            for (UniqueFd& client : clients) {
                ASSERT_EQ(::send(client.get(), "x", 1, 0), 1);
                ASSERT_EQ(ReadUpTo(client.get(), 3), "E:x");
            }
        }
        // Restart and stop cycles, each with a live session that the stop must end.
        for (int cycle = 0; cycle < CYCLES; ++cycle) {
            UniqueFd client = port.connect();
            ASSERT_EQ(ReadUpTo(client.get(), 2), "E:");
            auto answer = port.request(cycle % 2 == 0 ? WM_PORT_RESTART : WM_PORT_STOP, 0);
            ASSERT_TRUE(answer);
            ASSERT_TRUE(port.listener.threadHandle.wait(10s));
            ASSERT_TRUE(port.start());
        }
        ASSERT_TRUE(port.request(WM_PORT_STOP, 0));
        ASSERT_TRUE(port.listener.threadHandle.wait(10s));
    }
    EXPECT_TRUE(testing::WaitUntil([&] { return testing::OpenDescriptors() <= baseFds; }))
        << testing::OpenDescriptors() << " descriptors open, " << baseFds << " before";
    EXPECT_TRUE(testing::WaitUntil([&] { return testing::LiveThreads() <= baseThreads; }))
        << testing::LiveThreads() << " threads, " << baseThreads << " before";
}

}  // namespace
}  // namespace tarnwick
