#include "engine/ReloadPlan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>

namespace tarnwick {

void PrintTo(const ReloadPlan::Row& row, std::ostream* out) {
    static const char* const names[] = {"Keep", "Restart", "Start"};
    *out << names[static_cast<int>(row.action)];
    if (row.oldRow) {
        *out << " old row " << *row.oldRow;
    }
}

namespace {

using Action = ReloadPlan::Action;
using Rows = std::vector<ReloadPlan::Row>;
using Stops = std::vector<std::size_t>;

ReloadPlan::Row Keep(std::size_t old) { return {Action::Keep, old}; }
ReloadPlan::Row Restart(std::size_t old) { return {Action::Restart, old}; }
ReloadPlan::Row StartOld(std::size_t old) { return {Action::Start, old}; }
ReloadPlan::Row StartNew() { return {Action::Start, std::nullopt}; }

// A port as the loader gives it; `worker` non-zero makes it a running row's record.
std::unique_ptr<ForwardingPort> Port(int listenPort, int forwardPort, ThreadId worker = 0,
                                     int protocol = PROTOCOL_TCP) {
    auto port = std::make_unique<ForwardingPort>();
    port->protocol = protocol;
    port->listenPort = listenPort;
    port->forwardIp = "127.0.0.1";
    port->forwardPort = forwardPort;
    port->threadId = worker;
    return port;
}

template <class... Ports>
PortTable Table(Ports... ports) {
    PortTable table;
    (table.push_back(std::move(ports)), ...);
    return table;
}

TEST(ReloadPlan, KeepsUnchangedPortsRestartsEditedOnesInPlaceAndStartsOrStopsTheRest) {
    PortTable old = Table(Port(1000, 1), Port(1001, 1, 11), Port(1002, 1, 12), Port(1003, 1, 13));
    PortTable fresh = Table(Port(1000, 1), Port(1001, 2), Port(1004, 1), Port(1003, 1));
    ReloadPlan plan = ReloadPlan::Build(old, fresh);
    EXPECT_EQ(plan.rows, (Rows{Keep(0), Restart(1), StartNew(), Keep(3)}));
    EXPECT_EQ(plan.stops, Stops{2});
    EXPECT_TRUE(plan.rows[1].rewritesOld());
    EXPECT_FALSE(plan.rows[0].rewritesOld());
}

TEST(ReloadPlan, TheSameListenPortUnderTheOtherProtocolIsAnotherPort) {
    PortTable old = Table(Port(1000, 1, 11, PROTOCOL_TCP));
    PortTable fresh = Table(Port(1000, 1, 0, PROTOCOL_UDP));
    ReloadPlan plan = ReloadPlan::Build(old, fresh);
    EXPECT_EQ(plan.rows, Rows{StartNew()});
    EXPECT_EQ(plan.stops, Stops{0});
}

TEST(ReloadPlan, AnotherCaptureFlagOrRuleIsAnEdit) {
    PortTable old = Table(Port(1000, 1, 11), Port(1001, 1, 12));
    PortTable fresh = Table(Port(1000, 1), Port(1001, 1));
    fresh[0]->captureFirstPacket = 1;
    fresh[1]->appendRule(std::make_unique<ForwardingRule>());
    EXPECT_EQ(ReloadPlan::Build(old, fresh).rows, (Rows{Restart(0), Restart(1)}));
}

TEST(ReloadPlan, ReorderedRowsFollowTheNewListAndKeepTheirRecords) {
    PortTable old = Table(Port(1000, 1, 11), Port(1001, 1, 12), Port(1002, 1, 13));
    PortTable fresh = Table(Port(1002, 1), Port(1000, 1), Port(1001, 2));
    ReloadPlan plan = ReloadPlan::Build(old, fresh);
    EXPECT_EQ(plan.rows, (Rows{Keep(2), Keep(0), Restart(1)}));
    EXPECT_TRUE(plan.stops.empty());
}

TEST(ReloadPlan, EmptyListsStopEverythingOrStartEverything) {
    PortTable none;
    PortTable two = Table(Port(1000, 1, 11), Port(1001, 1, 12));
    ReloadPlan stopAll = ReloadPlan::Build(two, none);
    EXPECT_TRUE(stopAll.rows.empty());
    EXPECT_EQ(stopAll.stops, (Stops{0, 1}));
    ReloadPlan startAll = ReloadPlan::Build(none, two);
    EXPECT_EQ(startAll.rows, (Rows{StartNew(), StartNew()}));
    EXPECT_TRUE(startAll.stops.empty());
}

// Two ports on one listen port (only one of them can open it): each old record is taken
// over at most once, and an unchanged one is never rewritten for an edit of the other.
TEST(ReloadPlan, PortsSharingAListenPortAreMatchedUnchangedFirstThenInOrder) {
    {
        PortTable old = Table(Port(1000, 1, 11), Port(1000, 2, 12));
        PortTable fresh = Table(Port(1000, 3), Port(1000, 1));
        EXPECT_EQ(ReloadPlan::Build(old, fresh).rows, (Rows{Restart(1), Keep(0)}));
    }
    {
        PortTable old = Table(Port(1000, 1, 11), Port(1000, 2, 12));
        PortTable fresh = Table(Port(1000, 3), Port(1000, 4));
        EXPECT_EQ(ReloadPlan::Build(old, fresh).rows, (Rows{Restart(0), Restart(1)}));
    }
    {
        PortTable old = Table(Port(1000, 1, 11));
        PortTable fresh = Table(Port(1000, 1), Port(1000, 1));
        EXPECT_EQ(ReloadPlan::Build(old, fresh).rows, (Rows{Keep(0), StartNew()}));
    }
    {
        PortTable old = Table(Port(1000, 1, 11), Port(1000, 1, 12));
        PortTable fresh = Table(Port(1000, 1));
        ReloadPlan plan = ReloadPlan::Build(old, fresh);
        EXPECT_EQ(plan.rows, Rows{Keep(0)});
        EXPECT_EQ(plan.stops, Stops{1});
    }
}

// A port whose listener could not open has no worker: unchanged, it starts again (the
// place may be free now); edited, its record takes the new settings and starts.
TEST(ReloadPlan, APortThatFailedToOpenIsTriedAgainEditedOrNot) {
    PortTable old = Table(Port(1000, 1), Port(1001, 1));
    old[0]->openError = EADDRINUSE;
    old[1]->openError = EADDRINUSE;
    PortTable fresh = Table(Port(1000, 1), Port(1001, 2));
    ReloadPlan plan = ReloadPlan::Build(old, fresh);
    EXPECT_EQ(plan.rows, (Rows{StartOld(0), StartOld(1)}));
    EXPECT_TRUE(plan.rows[1].rewritesOld());
    EXPECT_TRUE(plan.stops.empty());
}

}  // namespace
}  // namespace tarnwick
