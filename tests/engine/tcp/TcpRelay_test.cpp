// End-to-end relay tests: a real listener and real sessions on loopback, between test
// clients and tagged backends that run in this process.
#include <gtest/gtest.h>

#include <random>

#include "tests/engine/tcp/TcpTestSupport.h"
#include "tests/support/TestBackend.h"
#include "engine/tcp/RelayDirection.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace testing;  // the helpers of TcpTestSupport.h and TestBackend.h

bool Send(int fd, const std::string& data) {
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

std::string RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

class TcpRelayTest : public testing::PortTest {
protected:
    void checkStopAnswer(const Message& answer) override {
        EXPECT_EQ(answer.message, WM_PORT_STOP);
    }
};

TEST_F(TcpRelayTest, StandardPortConnectsAtOnceAndRelaysBothWays) {
    TestBackend backend("D:");
    startPort(StandardPort(backend.port()));
    UniqueFd client = port->connect();
    ASSERT_TRUE(client.valid());
    // The destination is reached before the client says anything: its tag comes through.
    EXPECT_TRUE(backend.waitForConnections(1));
    EXPECT_EQ(ReadUpTo(client.get(), 2), "D:");
    ASSERT_TRUE(Send(client.get(), "ping"));
    EXPECT_EQ(ReadUpTo(client.get(), 4), "ping");
}

TEST_F(TcpRelayTest, StandardPortWithRefusedDestinationClosesTheClientAtOnce) {
    testing::ReservedPort nobodyListens;
    startPort(StandardPort(nobodyListens.port()));
    UniqueFd client = port->connect();
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(PeerClosed(client.get(), 5s));
}

// Each case: rules (text, which backend), the client's first piece, the backend that
// must get the connection. Backend 0 is the default destination.
struct RoutingCase {
    const char* name;
    std::vector<std::pair<std::string, int>> rules;
    std::string firstPiece;
    int expected;
};

class SmartRoutingTest : public TcpRelayTest, public ::testing::WithParamInterface<RoutingCase> {};

TEST_P(SmartRoutingTest, FirstPieceGoesInFullToTheFirstMatchingRuleOrTheDefault) {
    const RoutingCase& c = GetParam();
    TestBackend backends[] = {TestBackend("D:"), TestBackend("R1:"), TestBackend("R2:")};
    ForwardingPort record = StandardPort(backends[0].port());
    for (const auto& [text, target] : c.rules) {
        record.appendRule(TextRule(text, backends[target].port()));
    }
    startPort(std::move(record));

    UniqueFd client = port->connect();
    ASSERT_TRUE(Send(client.get(), c.firstPiece));
    TestBackend& chosen = backends[c.expected];
    std::string expectedReply = chosen.tag() + c.firstPiece;
    EXPECT_EQ(ReadUpTo(client.get(), expectedReply.size()), expectedReply);
    EXPECT_EQ(chosen.received(0), c.firstPiece);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(backends[i].connectionCount(), i == c.expected ? 1u : 0u) << "backend " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmartRoutingTest,
    ::testing::Values(RoutingCase{"SecondRuleWinsOverANonMatchingFirst",
                                  {{"zzz", 1}, {"HELLO", 2}},
                                  "say HELLO there",
                                  2},
                      RoutingCase{
                          "FirstOfTwoMatchingRulesWins", {{"HEL", 1}, {"HELLO", 2}}, "HELLO", 1},
                      RoutingCase{"NoMatchGoesToTheDefault", {{"zzz", 1}, {"yyy", 2}}, "HELLO", 0}),
    [](const ::testing::TestParamInfo<RoutingCase>& info) { return info.param.name; });

TEST_F(TcpRelayTest, SmartPortWithoutDataInTimeGoesToTheDefaultAndConsultsNoRule) {
    TestBackend fallback("D:");
    TestBackend ruled("R:");
    ForwardingPort record = StandardPort(fallback.port());
    record.timeoutSeconds = 1;
    record.appendRule(TextRule("HELLO", ruled.port()));
    record.captureFirstPacket = 1;
    startPort(std::move(record));

    UniqueFd client = port->connect();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadUpTo(client.get(), 2), "D:");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    ASSERT_TRUE(Send(client.get(), "HELLO late"));
    EXPECT_EQ(ReadUpTo(client.get(), 10), "HELLO late");
    EXPECT_EQ(ruled.connectionCount(), 0u);
    EXPECT_TRUE(port->captureLog->dumps().empty());  // nothing is captured on this path
}

TEST_F(TcpRelayTest, SmartPortClientClosingBeforeDataMakesNoOutgoingConnection) {
    TestBackend fallback("D:");
    ForwardingPort record = StandardPort(fallback.port());
    record.appendRule(TextRule("HELLO", fallback.port()));
    startPort(std::move(record));
    std::size_t threadsBefore = testing::LiveThreads();

    UniqueFd client = port->connect();
    ASSERT_TRUE(client.valid());
    client.reset();
    // The session thread comes and goes; once it has gone, nothing may have connected.
    ASSERT_TRUE(testing::WaitUntil([&] { return testing::LiveThreads() <= threadsBefore; }));
    EXPECT_EQ(fallback.connectionCount(), 0u);
}

TEST_F(TcpRelayTest, PatternOnlyInTheSecondPieceIsNotSeen) {
    TestBackend fallback("D:");
    TestBackend ruled("R:");
    ForwardingPort record = StandardPort(fallback.port());
    record.appendRule(TextRule("HELLO", ruled.port()));
    startPort(std::move(record));

    UniqueFd client = port->connect();
    ASSERT_TRUE(Send(client.get(), "GET "));
    ASSERT_TRUE(fallback.waitForReceived(0, 4));  // the first piece was routed on its own
    ASSERT_TRUE(Send(client.get(), "HELLO"));
    EXPECT_EQ(ReadUpTo(client.get(), 11), "D:GET HELLO");
    EXPECT_EQ(ruled.connectionCount(), 0u);
}

TEST_F(TcpRelayTest, SeveralMebibytesBothWaysArriveIntact) {
    TestBackend echo("E:");
    startPort(StandardPort(echo.port()));
    UniqueFd client = port->connect();
    const std::string data = RandomBytes(6 * 1024 * 1024, 1);
    std::string answer = Exchange(client.get(), data);
    ASSERT_TRUE(echo.waitForReceived(0, data.size()));
    EXPECT_TRUE(echo.received(0) == data) << "destination got " << echo.received(0).size();
    EXPECT_TRUE(answer == "E:" + data) << "client got " << answer.size();
}

// Small pieces are copied and a stream is spliced; a connection that goes from one to the
// other and back keeps every byte in order, and holds no pipe once the stream is over.
TEST_F(TcpRelayTest, SmallPiecesAroundABulkStreamArriveInOrder) {
    TestBackend echo("E:");
    startPort(StandardPort(echo.port()));
    UniqueFd client = port->connect();
    ASSERT_EQ(ReadUpTo(client.get(), 2), "E:");
    auto echoed = [&](const std::string& piece) {
        return Send(client.get(), piece) && ReadUpTo(client.get(), piece.size()) == piece;
    };
    for (int round = 0; round < 10; ++round) {
        EXPECT_TRUE(echoed("ping " + std::to_string(round)));
    }
    const std::size_t quietDescriptors = testing::OpenDescriptors();
    // Exactly one full copy buffer, then a stream within the socket buffers on the way.
    EXPECT_TRUE(echoed(std::string(RelayDirection::COPY_BUFFER_SIZE, 'x')));
    EXPECT_TRUE(echoed(RandomBytes(256 * 1024, 4)));
    for (int round = 0; round < 10; ++round) {
        EXPECT_TRUE(echoed("pong " + std::to_string(round)));
    }
    // Small pieces again both ways: the stream is over and its pipe is closed.
    EXPECT_TRUE(testing::WaitUntil([&] { return testing::OpenDescriptors() == quietDescriptors; }))
        << testing::OpenDescriptors() << " descriptors open, " << quietDescriptors << " before";
}

TEST_F(TcpRelayTest, HalfClosingClientStillGetsTheWholeAnswer) {
    const std::string answer = RandomBytes(3 * 1024 * 1024, 2);
    TestBackend server("A:", TestBackend::Mode::AnswerAfterEof, answer);
    startPort(StandardPort(server.port()));
    UniqueFd client = port->connect();
    std::string reply = Exchange(client.get(), "request");  // FIN right after the request
    EXPECT_EQ(server.received(0), "request");
    EXPECT_TRUE(reply == "A:" + answer) << "client got " << reply.size();
}

TEST_F(TcpRelayTest, DestinationClosingRightAfterItsDataLosesNothing) {
    const std::string answer = RandomBytes(3 * 1024 * 1024, 3);
    TestBackend server("S:", TestBackend::Mode::SendAndClose, answer);
    startPort(StandardPort(server.port()));
    UniqueFd client = port->connect();
    std::string reply = ReadUpTo(client.get(), SIZE_MAX, 60s);  // to the FIN
    EXPECT_TRUE(reply == "S:" + answer) << "client got " << reply.size();
}

TEST_F(TcpRelayTest, ResetByTheClientEndsTheSessionAndTheDestinationConnection) {
    TestBackend echo("E:");
    startPort(StandardPort(echo.port()));
    std::size_t threadsBefore = testing::LiveThreads();
    UniqueFd client = port->connect();
    EXPECT_EQ(ReadUpTo(client.get(), 2), "E:");
    linger abort{1, 0};  // close with a reset
    ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    client.reset();
    EXPECT_TRUE(testing::WaitUntil([&] { return testing::LiveThreads() <= threadsBefore; }));
}

}  // namespace
}  // namespace tarnwick
