// Peers that do not keep up: each direction of a session flows on its own, a stalled
// session still answers stop requests at once, and resets pass through as resets.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "tests/engine/tcp/TcpTestSupport.h"
#include "tests/support/TestBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace testing;  // the helpers of TcpTestSupport.h and TestBackend.h
using End = TestBackend::End;

// The digest of `count` bytes of a fixed pseudo-random stream, made and digested piece by
// piece, so that no test holds the whole stream in memory.
class Stream {
public:
    explicit Stream(std::size_t count) : left_(count) {}
    // The next piece, empty at the end; `digest` follows what was handed out.
    std::string next(std::size_t most = 65536) {
        std::string piece(std::min(most, left_), '\0');
        for (char& byte : piece) {
            state_ ^= state_ << 13;
            state_ ^= state_ >> 7;
            state_ ^= state_ << 17;
            byte = static_cast<char>(state_);
        }
        left_ -= piece.size();
        digest = TestBackend::Digest(digest, piece.data(), piece.size());
        return piece;
    }
    std::uint64_t digest = TestBackend::DIGEST_START;

private:
    std::size_t left_;
    std::uint64_t state_ = 88172645463325252ull;
};

// Sends `count` bytes and a FIN on `fd` while reading everything that comes back to the
// peer's FIN, both at once. Returns the digest and count of what came back.
std::pair<std::uint64_t, std::size_t> StreamBothWays(int fd, std::size_t count, Stream& sent) {
    std::thread writer([fd, &sent] {
        for (std::string piece = sent.next(); !piece.empty(); piece = sent.next()) {
            if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(piece.size())) {
                break;
            }
        }
        ::shutdown(fd, SHUT_WR);
    });
    std::uint64_t digest = TestBackend::DIGEST_START;
    std::size_t received = 0;
    for (std::string piece = ReadUpTo(fd, 65536, 20s); !piece.empty();
         piece = ReadUpTo(fd, 65536, 20s)) {
        digest = TestBackend::Digest(digest, piece.data(), piece.size());
        received += piece.size();
        if (received > count + 64) {
            break;
        }
    }
    ::shutdown(fd, SHUT_RDWR);  // a writer still blocked after a failure gives up
    writer.join();
    return {digest, received};
}

class TcpBackpressureTest : public testing::PortTest {
protected:
    TcpBackpressureTest() : PortTest(5s) {}
};

// An echo server that writes each piece back before it reads the next one, and a client
// that writes while it reads: a relay that waits on one direction deadlocks both.
TEST_F(TcpBackpressureTest, FullDuplexStreamsThroughStandardAndSmartPortsArriveIntact) {
    constexpr std::size_t BYTES = 64 * 1024 * 1024;
    TestBackend echo("E:", TestBackend::Mode::BlockingEcho);
    auto streamThrough = [&](ForwardingPort record, std::size_t connection) {
        SCOPED_TRACE(record.isSmart() ? "Smart" : "Standard");
        startPort(std::move(record));
        UniqueFd client = port->connect();
        Stream sent(BYTES);
        auto [digest, count] = StreamBothWays(client.get(), BYTES, sent);
        EXPECT_EQ(count, 2 + BYTES);
        std::uint64_t expected = TestBackend::Digest(TestBackend::DIGEST_START, "E:", 2);
        Stream again(BYTES);
        for (std::string piece = again.next(); !piece.empty(); piece = again.next()) {
            expected = TestBackend::Digest(expected, piece.data(), piece.size());
        }
        EXPECT_EQ(digest, expected) << "client got a different stream back";
        EXPECT_EQ(echo.receivedCount(connection), BYTES);
        EXPECT_EQ(echo.receivedDigest(connection), sent.digest) << "backend got another stream";
        TearDown();
        port.reset();
    };
    streamThrough(StandardPort(echo.port()), 0);
    ForwardingPort smart = StandardPort(echo.port());
    smart.appendRule(TextRule("no such text", echo.port()));
    streamThrough(std::move(smart), 1);
}

// The client keeps sending to a backend that never reads, while the backend streams to the
// client: that direction keeps flowing. The client's close or reset then ends the session
// at once, which resets the backend, and gives back its thread and descriptors.
class NeverReadingBackendTest : public TcpBackpressureTest,
                                public ::testing::WithParamInterface<bool> {};

TEST_P(NeverReadingBackendTest, OtherDirectionFlowsAndTheClientsEndEndsTheSession) {
    const bool reset = GetParam();
    TestBackend backend("N:", TestBackend::Mode::NeverReads, std::string(65536, 'n'));
    startPort(StandardPort(backend.port()));
    const std::size_t baseThreads = testing::LiveThreads();
    const std::size_t baseFds = testing::OpenDescriptors();

    UniqueFd client = port->connect();
    ASSERT_TRUE(client.valid());
    ASSERT_EQ(::fcntl(client.get(), F_SETFL, ::fcntl(client.get(), F_GETFL) | O_NONBLOCK), 0);
    const std::string piece(65536, 'c');
    std::size_t sent = 0, received = 0;
    bool clientFull = false;
    char buffer[65536];
    // How much the client's direction holds before it is full depends on the machine's
    // socket buffer limits, so it writes until a send finds no room, however long that is.
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((received < 32 * 1024 * 1024 || !clientFull) &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd ready{client.get(), POLLIN | POLLOUT, 0};
        ::poll(&ready, 1, 1000);
        ssize_t n = ::send(client.get(), piece.data(), piece.size(), MSG_NOSIGNAL);
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        if (n < 0 && errno == EAGAIN) {
            pollfd writable{client.get(), POLLOUT, 0};
            clientFull = ::poll(&writable, 1, 0) == 0;
        }
        n = ::recv(client.get(), buffer, sizeof buffer, 0);
        received += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    EXPECT_GE(received, 32u * 1024 * 1024) << "the backend's stream stopped";
    EXPECT_TRUE(clientFull) << "the client's direction should fill up; " << sent << " sent";
    EXPECT_GT(sent, 0u);

    if (reset) {
        const linger abort{1, 0};
        ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    client.reset();
    EXPECT_EQ(backend.waitForEnd(0), End::Reset);
    EXPECT_TRUE(testing::WaitUntil([&] { return testing::LiveThreads() <= baseThreads; }))
        << testing::LiveThreads() << " threads, " << baseThreads << " before";
    EXPECT_TRUE(testing::WaitUntil([&] { return testing::OpenDescriptors() <= baseFds; }))
        << testing::OpenDescriptors() << " descriptors, " << baseFds << " before";
}

INSTANTIATE_TEST_SUITE_P(CloseOrReset, NeverReadingBackendTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reset" : "Close"; });

// Clients that never read, a backend that streams to them: every session is stalled on a
// full client. A restart still ends them all at once, and the port listens again at once.
TEST_F(TcpBackpressureTest, RestartWithStalledSessionsIsAnsweredAtOnce) {
    TestBackend backend("N:", TestBackend::Mode::NeverReads, std::string(65536, 'n'));
    startPort(StandardPort(backend.port()));
    std::vector<UniqueFd> clients;
    for (std::size_t i = 0; i < 3; ++i) {
        clients.push_back(port->connect());
        ASSERT_TRUE(backend.waitForConnections(i + 1));
        ASSERT_TRUE(testing::WaitUntil([&] {
            return testing::RelayCannotSendTo(clients[i].get());
        })) << "session "
            << i << " never stalled";
    }

    auto answer = port->request(WM_PORT_RESTART, 0, 1s);
    ASSERT_TRUE(answer) << "no answer within a second";
    EXPECT_EQ(answer->message, WM_PORT_RESTART);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        EXPECT_NE(backend.waitForEnd(i, 1s), End::Open) << "session " << i;
        EXPECT_TRUE(PeerClosed(clients[i].get(), 1s));
    }
    PortHarness again(StandardPort(backend.port()));
    again.launch(port->record.listenPort);
    auto started = again.owner.waitFor(1s);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->message, WM_PORT_STARTED);
    ASSERT_TRUE(again.request(WM_PORT_STOP, 0));
    port.reset();  // answered already
}

TEST_F(TcpBackpressureTest, ResetOnEitherSideReachesTheOtherAsAReset) {
    // The client resets in the middle of an upload.
    TestBackend echo("E:");
    startPort(StandardPort(echo.port()));
    UniqueFd client = port->connect();
    ASSERT_EQ(ReadUpTo(client.get(), 2), "E:");
    const std::string upload(1024 * 1024, 'u');
    ASSERT_EQ(::send(client.get(), upload.data(), upload.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(upload.size()));
    const linger abort{1, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    client.reset();
    EXPECT_EQ(echo.waitForEnd(0), End::Reset);
    TearDown();

    // The destination resets in the middle of a download.
    TestBackend resetting("R:", TestBackend::Mode::ResetAfterAnswer, std::string(1 << 20, 'd'));
    startPort(StandardPort(resetting.port()));
    client = port->connect();
    char buffer[65536];
    ssize_t n;
    do {
        pollfd ready{client.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 10000), 1);
        n = ::recv(client.get(), buffer, sizeof buffer, 0);
    } while (n > 0);
    int error = errno;
    EXPECT_EQ(n, -1) << "the client saw a clean end of data";
    EXPECT_EQ(error, ECONNRESET);
}

TEST_F(TcpBackpressureTest, DestinationsHalfCloseLetsTheClientSendAfterTheWholeAnswer) {
    const std::string answer(3 * 1024 * 1024, 'a');
    TestBackend server("H:", TestBackend::Mode::AnswerAndHalfClose, answer);
    startPort(StandardPort(server.port()));
    UniqueFd client = port->connect();
    std::string reply = ReadUpTo(client.get(), SIZE_MAX, 60s);  // to the server's FIN
    EXPECT_TRUE(reply == "H:" + answer) << "client got " << reply.size();
    EXPECT_EQ(testing::Exchange(client.get(), "after the answer"), "");
    ASSERT_TRUE(server.waitForReceived(0, 16));
    EXPECT_EQ(server.received(0), "after the answer");
    EXPECT_EQ(server.waitForEnd(0), End::Closed);
}

}  // namespace
}  // namespace tarnwick
