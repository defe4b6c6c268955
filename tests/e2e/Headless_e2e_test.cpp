// The headless service end to end: a configuration written byte by byte, the real
// program, tagged backends and clients on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/ImageBytes.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestBackend.h"
#include "tests/support/WaitUntil.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using testing::Bytes;
using testing::ChildProcess;
using testing::Client;
using testing::FreePort;
using testing::PutInt;
using testing::PutString;
using testing::StreamServer;
using testing::TempDir;
using testing::TestBackend;
using testing::UdpExchange;
using testing::UdpTagServer;

// Brisel.cfg, field by field.
class ConfigBytes {
public:
    ConfigBytes& integer(std::int32_t value) {
        PutInt(bytes_, value);
        return *this;
    }
    ConfigBytes& text(const std::string& value) {
        PutString(bytes_, value);
        return *this;
    }
    ConfigBytes& port(int protocol, int listen, const std::string& ip, int forward, int timeout,
                      int rules) {
        return integer(protocol).integer(listen).integer(forward).integer(timeout).text(ip).integer(rules);
    }
    ConfigBytes& rule(int searchType, int caseSensitive, const std::string& data, int forward) {
        return integer(searchType).integer(caseSensitive).integer(forward).text("127.0.0.1")
            .text("rule").text(data);
    }
    ConfigBytes& magic(const char (&four)[5]) {
        bytes_.insert(bytes_.end(), four, four + 4);
        return *this;
    }
    // The file: version, port count, the fields, less the last `cut` bytes.
    void writeTo(const std::string& path, int portCount, std::int32_t version = 1001,
                 std::size_t cut = 0) const {
        Bytes file;
        PutInt(file, version);
        PutInt(file, portCount);
        file.insert(file.end(), bytes_.begin(), bytes_.end() - static_cast<long>(cut));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(file.size()));
    }

private:
    Bytes bytes_;
};

// More than a relay can pass on to a client that reads next to nothing (its send buffer
// grows to 4 MiB at most, the default of tcp_wmem, and its pipe holds 1 MiB): a session
// through which a backend has sent this much has bytes it cannot pass on.
constexpr std::size_t kStalledBytes = 5 * 1024 * 1024 + 512 * 1024;

std::string Row(const char* protocol, int listen, int forward, const char* type, const char* running) {
    return std::string(protocol) + "\tlocalhost:" + std::to_string(listen) + "\t127.0.0.1:" +
           std::to_string(forward) + "\t" + type + "\t" + running + "\n";
}

std::size_t Count(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

// Whether `count` rows of the program's output say that their port runs, within 20 seconds.
::testing::AssertionResult PortsRunning(ChildProcess& tarnwick, std::size_t count) {
    auto running = [&](const std::string& out) { return Count(out, "\tYes\n") == count; };
    if (tarnwick.waitForOutput(running, 20s)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << tarnwick.out() << tarnwick.err();
}

class HeadlessE2E : public ::testing::Test {
protected:
    std::unique_ptr<ChildProcess> Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"--headless", "--config-dir", temp.path()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return std::make_unique<ChildProcess>(TARNWICK_BINARY, arguments);
    }
    // Brisel.cfg of Standard TCP ports, each a listen port and a destination port on
    // 127.0.0.1, with the default time-out.
    void WriteStandardPorts(const std::vector<std::pair<int, int>>& ports) {
        ConfigBytes config;
        for (const auto& [listen, destination] : ports) {
            config.port(0, listen, "127.0.0.1", destination, 5, 0);
        }
        config.writeTo(temp.file("Brisel.cfg"), static_cast<int>(ports.size()));
    }
    TempDir temp;
};

TEST_F(HeadlessE2E, ForwardsStandardSmartAndUdpPortsAndStopsOnSigterm) {
    TestBackend fallback("default:"), hexTarget("hex:"), textTarget("text:");
    UdpTagServer udpTarget("udp:");
    const int standard = FreePort(), smart = FreePort(), udp = FreePort(SOCK_DGRAM);
    ConfigBytes config;
    config.port(0, standard, "127.0.0.1", fallback.port(), 5, 0);
    config.port(0, smart, "127.0.0.1", fallback.port(), 1, 2)
        .rule(1, 0, "16 03 XX", hexTarget.port())
        .rule(0, 0, "host: example", textTarget.port());
    config.port(1, udp, "127.0.0.1", udpTarget.port(), 5, 0);
    config.writeTo(temp.file("Brisel.cfg"), 3);

    auto tarnwick = Start();
    const std::string running = Row("TCP", standard, fallback.port(), "Standard", "Yes") +
                                "";  // each port's row turns "Yes" once it listens
    ASSERT_TRUE(PortsRunning(*tarnwick, 3));
    EXPECT_NE(tarnwick->out().find(Row("TCP", standard, fallback.port(), "Standard", "No")),
              std::string::npos);
    EXPECT_NE(tarnwick->out().find(running), std::string::npos);
    EXPECT_NE(tarnwick->out().find(Row("UDP", udp, udpTarget.port(), "Standard", "Yes")),
              std::string::npos);

    Client plain(standard);
    EXPECT_EQ(plain.receive(8), "default:");  // connected before sending anything
    ASSERT_TRUE(plain.send("ping"));
    EXPECT_EQ(plain.receive(4), "ping");

    Client tls(smart);
    ASSERT_TRUE(tls.send(std::string("\x16\x03\x01hello", 8)));
    EXPECT_EQ(tls.receive(4 + 8), std::string("hex:\x16\x03\x01hello", 12));

    Client web(smart);
    ASSERT_TRUE(web.send("GET / HTTP/1.1\r\nHost: EXAMPLE\r\n\r\n"));
    EXPECT_EQ(web.receive(5), "text:");

    Client silent(smart);  // sends nothing: the 1-second timeout picks the default
    EXPECT_EQ(silent.receive(8, 10s), "default:");

    EXPECT_EQ(UdpExchange(udp, "question"), std::optional<std::string>("udp:question"));

    tarnwick->signal(SIGTERM);
    EXPECT_EQ(tarnwick->wait(30s), 0) << tarnwick->err();
    EXPECT_TRUE(plain.closedByPeer());
}

// One loop serves a bulk stream, sent as fast as the client can, and a ping-pong: every
// exchange of the ping-pong comes back while the stream flows, since a busy connection
// gives its loop back after a few pieces.
TEST_F(HeadlessE2E, BulkStreamHoldsUpNoPingPongOnTheSameLoop) {
    TestBackend sink("sink:", TestBackend::Mode::AnswerAfterEof), echo("echo:");
    const int bulkPort = FreePort(), pingPort = FreePort();
    WriteStandardPorts({{bulkPort, sink.port()}, {pingPort, echo.port()}});
    auto tarnwick = Start({"--loops", "1"});
    ASSERT_TRUE(PortsRunning(*tarnwick, 2));

    Client bulk(bulkPort);
    std::atomic<bool> pinging{true};
    std::atomic<std::size_t> streamed{0};
    std::thread sender([&] {
        const std::string chunk(256 * 1024, 'b');
        while (pinging && bulk.send(chunk)) {
            streamed += chunk.size();
        }
    });
    Client ping(pingPort);
    bool answered = ping.receive(5) == "echo:" &&
                    testing::WaitUntil([&] { return streamed > 64 * 1024 * 1024; });
    const std::size_t before = sink.receivedCount(0);
    for (int i = 0; i < 200 && answered; ++i) {
        const std::string message = "ping " + std::to_string(i);
        answered = ping.send(message) && ping.receive(message.size(), 2s) == message;
    }
    const std::size_t during = sink.receivedCount(0) - before;
    pinging = false;
    sender.join();
    EXPECT_TRUE(answered) << tarnwick->err();
    EXPECT_GT(during, 0u) << "the stream did not flow while the ping-pong ran";
}

TEST_F(HeadlessE2E, SighupAppliesAnEditAndKeepsUnchangedPortsConnected) {
    TestBackend first("first:"), second("second:");
    const int kept = FreePort(), edited = FreePort();
    WriteStandardPorts({{kept, first.port()}, {edited, first.port()}});

    auto tarnwick = Start();
    ASSERT_TRUE(PortsRunning(*tarnwick, 2));
    Client open(kept);
    EXPECT_EQ(open.receive(6), "first:");

    WriteStandardPorts({{kept, first.port()}, {edited, second.port()}});
    tarnwick->signal(SIGHUP);
    const std::string editedRunning = Row("TCP", edited, second.port(), "Standard", "Yes");
    ASSERT_TRUE(tarnwick->waitForStdout(editedRunning, 20s)) << tarnwick->out() << tarnwick->err();

    Client moved(edited);
    EXPECT_EQ(moved.receive(7), "second:");
    ASSERT_TRUE(open.send("still here"));  // the unchanged port's connection lives on
    EXPECT_EQ(open.receive(10), "still here");

    tarnwick->signal(SIGINT);
    EXPECT_EQ(tarnwick->wait(30s), 0);
}

TEST_F(HeadlessE2E, SighupWithAFileCutShortChangesNothing) {
    TestBackend first("first:"), second("second:");
    const int one = FreePort(), two = FreePort();
    WriteStandardPorts({{one, first.port()}, {two, first.port()}});
    auto tarnwick = Start();
    ASSERT_TRUE(PortsRunning(*tarnwick, 2));
    Client open(two);
    EXPECT_EQ(open.receive(6), "first:");

    // Another tool caught in the middle of writing: the second port's entry is cut short.
    ConfigBytes cut;
    cut.port(0, one, "127.0.0.1", second.port(), 5, 0);
    cut.integer(0).integer(two);
    cut.writeTo(temp.file("Brisel.cfg"), 2);
    tarnwick->signal(SIGHUP);
    // The whole report, not just its start: stderr may arrive in more than one piece.
    const std::string why = temp.file("Brisel.cfg") + ": stops at byte 50 (port 2, forwardPort)";
    ASSERT_TRUE(tarnwick->waitForOutput([&](const std::string&) {
        const std::string err = tarnwick->err();
        return err.find("not reloaded") != std::string::npos && err.find(why) != std::string::npos;
    }, 20s)) << tarnwick->err();

    ASSERT_TRUE(open.send("still here"));
    EXPECT_EQ(open.receive(10), "still here");
    EXPECT_EQ(Client(one).receive(6), "first:");
    EXPECT_EQ(Count(tarnwick->out(), "\tNo\n"), 2u) << tarnwick->out();  // the first rows only
    tarnwick->signal(SIGTERM);
    EXPECT_EQ(tarnwick->wait(30s), 0);
}

TEST_F(HeadlessE2E, CaptureWritesTheDumpAndAPortInUseSaysWhy) {
    TestBackend target("t:");
    const int captured = FreePort();
    int busyFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = testing::Loopback(0);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(busyFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busyFd, 1), 0);
    const int busy = testing::BoundPort(busyFd);

    ConfigBytes config;
    config.port(0, captured, "127.0.0.1", target.port(), 5, 1).rule(0, 0, "zzz", target.port());
    config.port(0, busy, "127.0.0.1", target.port(), 5, 0);
    config.writeTo(temp.file("Brisel.cfg"), 2);

    auto tarnwick = Start({"--capture", std::to_string(captured)});
    ASSERT_TRUE(tarnwick->waitForStdout(Row("TCP", captured, target.port(), "Smart", "Yes"), 20s))
        << tarnwick->out() << tarnwick->err();
    Client client(captured);
    ASSERT_TRUE(client.send("AB"));
    EXPECT_EQ(client.receive(4), "t:AB");
    // The busy port's failure is reported when its listener gives up, which may come after
    // the other port listens and relays.
    const std::string busyRow = Row("TCP", busy, target.port(), "Standard", "No").substr(0, 20);
    EXPECT_TRUE(tarnwick->waitForOutput([&](const std::string&) {
        const std::string& err = tarnwick->err();
        return err.find(busyRow) != std::string::npos &&
               err.find("Address already in use") != std::string::npos;
    }, 20s)) << tarnwick->err();

    tarnwick->signal(SIGTERM);
    EXPECT_EQ(tarnwick->wait(30s), 0);
    ::close(busyFd);

    std::ifstream log(temp.file("Brisel.log"), std::ios::binary);
    std::string dump((std::istreambuf_iterator<char>(log)), {});
    const std::string hex = "---------HEX Dump for [TCP] listen port [" + std::to_string(captured) + "] at [";
    EXPECT_EQ(dump.rfind(hex, 0), 0u) << dump;
    EXPECT_NE(dump.find("41 \0" "42 \0" "\r\n\r\n---------TEXT Dump for [TCP]"s), std::string::npos);
    EXPECT_NE(dump.find("---------\r\n\0AB\r\n---------DUMP COMPLETE---------"s), std::string::npos);
}

// Clients that never read and a backend that streams to them: every session holds more
// for its client than the client takes. An edit of the port still restarts it at once,
// and SIGTERM still ends the program at once.
TEST_F(HeadlessE2E, StalledSessionsHoldUpNeitherARestartNorTheEnd) {
    StreamServer backend;
    const int port = FreePort();
    const std::string running = Row("TCP", port, backend.port(), "Standard", "Yes");
    auto stall = [&](std::vector<std::unique_ptr<Client>>& clients) {
        for (int i = 0; i < 4; ++i) {
            clients.push_back(std::make_unique<Client>(port, 4096));
        }
    };
    ConfigBytes config;
    config.port(0, port, "127.0.0.1", backend.port(), 5, 0).writeTo(temp.file("Brisel.cfg"), 1);
    auto tarnwick = Start();
    ASSERT_TRUE(tarnwick->waitForStdout(running, 20s)) << tarnwick->out() << tarnwick->err();
    std::vector<std::unique_ptr<Client>> clients;
    stall(clients);
    ASSERT_TRUE(backend.waitUntilFull(4, kStalledBytes, 20s));

    ConfigBytes edited;  // another time-out: the port restarts
    edited.port(0, port, "127.0.0.1", backend.port(), 6, 0).writeTo(temp.file("Brisel.cfg"), 1);
    tarnwick->signal(SIGHUP);
    EXPECT_TRUE(tarnwick->waitForOutput(
        [&](const std::string& out) { return Count(out, running) == 2; }, 2s))
        << tarnwick->out() << tarnwick->err();

    stall(clients);
    ASSERT_TRUE(backend.waitUntilFull(8, kStalledBytes, 20s));
    tarnwick->signal(SIGTERM);
    EXPECT_EQ(tarnwick->wait(3s), 0) << tarnwick->err();
}

// A port on 127.0.0.1 for 127.0.0.2 alone, in a file whose extension block lost its last
// byte: the port must not run on every address for everyone.
TEST_F(HeadlessE2E, ADamagedExtensionBlockKeepsTheRestrictedPortClosed) {
    TestBackend backend("backend:");
    const int listen = FreePort();
    ConfigBytes config;
    config.port(0, listen, "127.0.0.1", backend.port(), 5, 0);
    config.magic("TWX2").integer(4 + 2 * 8 + 14 + 21).integer(2);
    config.integer(1).integer(14).text("127.0.0.1");
    config.integer(2).integer(21).integer(1).text("127.0.0.2/32");
    config.writeTo(temp.file("Brisel.cfg"), 1, 1002, 1);

    auto tarnwick = Start();
    ASSERT_TRUE(tarnwick->waitForOutput([&](const std::string&) {
        return tarnwick->err().find("no port is loaded") != std::string::npos;
    }, 20s)) << tarnwick->err();
    EXPECT_EQ(tarnwick->err().find("no ports are configured"), std::string::npos);
    EXPECT_FALSE(Client(listen).connected());
    tarnwick->signal(SIGTERM);
    EXPECT_EQ(tarnwick->wait(30s), 0);
}

TEST_F(HeadlessE2E, NoPortsSaysHowToAddThemAndKeepsRunning) {
    auto tarnwick = Start();
    ASSERT_TRUE(tarnwick->waitForOutput([&](const std::string&) {
        return tarnwick->err().find("to start them.\n") != std::string::npos;
    }, 20s)) << tarnwick->err();
    EXPECT_NE(tarnwick->err().find("no ports are configured in " + temp.file("Brisel.cfg")),
              std::string::npos);
    EXPECT_NE(tarnwick->err().find("--import"), std::string::npos);
    tarnwick->signal(SIGTERM);
    EXPECT_EQ(tarnwick->wait(30s), 0);
}

}  // namespace
}  // namespace tarnwick
