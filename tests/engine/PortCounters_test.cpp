#include "engine/PortCounters.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <thread>

namespace tarnwick {
namespace {

ForwardingPort PortWithRules(std::initializer_list<const char*> names) {
    ForwardingPort port;
    port.listenPort = 443;
    for (const char* name : names) {
        auto rule = std::make_unique<ForwardingRule>();
        rule->ruleName = name;
        port.appendRule(std::move(rule));
    }
    return port;
}

// Everything after the time stamp, which is checked for its shape only.
std::string AfterTime(const std::string& line) {
    std::smatch match;
    EXPECT_TRUE(std::regex_search(line, match, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t)")))
        << line;
    return match.suffix();
}

TEST(ConnectionRecord, LinesKeepOneFieldPerTabWhateverTheConfigurationHolds) {
    ConnectionRecord record;
    record.listenPort = 443;
    record.client = "127.0.0.1:50312";
    record.destination = "back\tend:22";
    record.route = Route{RouteKind::Rule, 1};
    record.ruleName = "ssh \"v2\"\n";
    record.bytesFromClient = 517;
    record.bytesToClient = 2048;
    record.duration = std::chrono::milliseconds(3204);
    record.end = EndReason::ClientClosed;
    EXPECT_EQ(AfterTime(record.FormatLine()),
              "TCP\t443\t127.0.0.1:50312\tback\\tend:22\trule 2 \"ssh \\\"v2\\\"\\x0a\"\t517\t2048"
              "\t3.204\tclient closed");

    ConnectionRecord refused;
    refused.listenPort = 80;
    refused.client = "127.0.0.1:1";
    refused.destination = "127.0.0.1:9";
    refused.route = Route{RouteKind::Timeout};
    refused.duration = std::chrono::milliseconds(1005);
    refused.end = EndReason::ConnectFailed;
    refused.error = ECONNREFUSED;
    EXPECT_EQ(AfterTime(refused.FormatLine()),
              "TCP\t80\t127.0.0.1:1\t127.0.0.1:9\tdefault (timeout)\t0\t0\t1.005"
              "\tconnect failed: Connection refused");

    ConnectionRecord idleRun;  // a UDP run that never saw a datagram
    idleRun.udp = true;
    idleRun.listenPort = 53;
    EXPECT_EQ(AfterTime(idleRun.FormatLine()), "UDP\t53\t-\t-\t-\t0\t0\t0.000\tstopped");
}

TEST(PortCounters, CountsFromManyThreadsAddUpExactly) {
    ForwardingPort port = PortWithRules({"a", "b"});
    PortCounters counters(port, false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                counters.connectionAccepted();
                counters.addFromClient(3);
                counters.connectionRouted(Route{RouteKind::Rule, 1});
                counters.connectFailed(i % 2 == 0 ? ECONNREFUSED : ETIMEDOUT);
                counters.connectionEnded();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    counters.connectionAccepted();  // one still open
    counters.connectionRouted(Route{RouteKind::Rule, 7});  // a rule the port does not have

    PortCounters::Snapshot counts = counters.snapshot();
    EXPECT_EQ(counts.accepted, 40001u);
    EXPECT_EQ(counts.open, 1u);
    EXPECT_EQ(counts.bytesFromClients, 120000u);
    EXPECT_EQ(counts.ruleConnections, (std::vector<std::uint64_t>{0, 40000}));
    using Failed = std::vector<std::pair<int, std::uint64_t>>;
    EXPECT_EQ(counts.failedConnects, (Failed{{ETIMEDOUT, 20000}, {ECONNREFUSED, 20000}}));
}

TEST(PortCounters, DistinctErrorsBeyondTheSlotsCountUnderZero) {
    PortCounters counters;
    for (int error = 1; error <= static_cast<int>(PortCounters::ERROR_SLOTS) + 2; ++error) {
        counters.connectFailed(error);
    }
    auto failed = counters.snapshot().failedConnects;
    ASSERT_EQ(failed.size(), PortCounters::ERROR_SLOTS + 1);
    EXPECT_EQ(failed.front(), (std::pair<int, std::uint64_t>{0, 2}));
}

TEST(PortCounters, LogQueuesOnlyWhenOnAndNamesTheRule) {
    ForwardingPort port = PortWithRules({"ssh"});
    PortCounters silent(port, false), logging(port, true);
    ConnectionRecord record;
    record.route = Route{RouteKind::Rule, 0};
    silent.logConnection(record);
    logging.logConnection(record);
    logging.logConnection(ConnectionRecord{});
    EXPECT_TRUE(silent.takeConnectionLog().empty());
    auto taken = logging.takeConnectionLog();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].ruleName, "ssh");
    EXPECT_TRUE(logging.takeConnectionLog().empty());
}

}  // namespace
}  // namespace tarnwick
