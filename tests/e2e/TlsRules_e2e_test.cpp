// Server-name and ALPN rules end to end: the real headless program between real TLS
// clients and servers (Python's ssl, tests/e2e/tls_peer.py), each server tagged.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/ClientHelloBytes.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::Client;
using testing::FreePort;
using testing::TempDir;
using testing::TestBackend;

const std::string PEER = (std::filesystem::path(__FILE__).parent_path() / "tls_peer.py").string();

std::string Rule(const char* name, const char* kind, const char* data, int port) {
    return std::string(R"({"ruleName": ")") + name + R"(", "searchType": ")" + kind +
           R"(", "searchData": ")" + data + R"(", "forwardIp": "127.0.0.1", "forwardPort": )" +
           std::to_string(port) + "}";
}

class TlsRulesE2E : public ::testing::Test {
protected:
    // TLS servers, one per tag: their ports by tag.
    std::map<std::string, int> StartServers(const std::vector<std::string>& tags) {
        std::vector<std::string> arguments{PEER, "server", temp.path()};
        arguments.insert(arguments.end(), tags.begin(), tags.end());
        servers = std::make_unique<ChildProcess>("/usr/bin/env", Prepend("python3", arguments));
        EXPECT_TRUE(servers->waitForOutput(
            [&](const std::string& out) {
                return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) ==
                       tags.size();
            },
            20s))
            << servers->err();
        std::map<std::string, int> ports;
        std::istringstream lines(servers->out());
        for (std::string tag; lines >> tag;) {
            lines >> ports[tag];
        }
        return ports;
    }

    static std::vector<std::string> Prepend(std::string first, std::vector<std::string> rest) {
        rest.insert(rest.begin(), std::move(first));
        return rest;
    }

    void Run(const std::string& json) {
        std::ofstream(temp.file("ports.json")) << json;
        ChildProcess import(TARNWICK_BINARY,
                            {"--config-dir", temp.path(), "--import", temp.file("ports.json")});
        ASSERT_EQ(import.wait(30s), 0) << import.err();
        tarnwick = std::make_unique<ChildProcess>(
            TARNWICK_BINARY, std::vector<std::string>{"--headless", "--log-connections",
                                                      "--config-dir", temp.path()});
        ASSERT_TRUE(tarnwick->waitForStdout("\tYes", 20s)) << tarnwick->err();
    }

    // What a TLS client offering `name` and `alpn` ("-": none) gets back through `port`.
    static std::string Handshake(int port, const char* name, const char* alpn) {
        ChildProcess client("/usr/bin/env",
                            {"python3", PEER, "client", std::to_string(port), name, alpn});
        EXPECT_EQ(client.wait(30s), 0) << client.err();
        return client.out();
    }

    TempDir temp;
    std::unique_ptr<ChildProcess> servers;
    std::unique_ptr<ChildProcess> tarnwick;
};

TEST_F(TlsRulesE2E, ClientHelloInTwoWritesReachesTheRuleOfItsNameOrProtocol) {
    auto backends = StartServers({"wild", "exact", "h2", "h1", "default"});
    const int listen = FreePort();
    Run(R"({"ports": [{"protocol": "tcp", "listenPort": )" + std::to_string(listen) +
        R"(, "forwardIp": "127.0.0.1", "forwardPort": )" + std::to_string(backends["default"]) +
        R"(, "timeoutSeconds": 10, "rules": [)" +
        Rule("wild", "tls-sni", "*.example.test", backends["wild"]) + "," +
        Rule("exact", "tls-sni", "exact.example.org.", backends["exact"]) + "," +
        Rule("h2", "tls-alpn", "h2", backends["h2"]) + "," +
        Rule("h1", "tls-alpn", "http/1.1", backends["h1"]) + "]}]}");

    EXPECT_EQ(Handshake(listen, "a.example.test", "h2,http/1.1"), "wild h2 ping\n");
    EXPECT_EQ(Handshake(listen, "EXACT.example.org", "http/1.1"), "exact http/1.1 ping\n");
    EXPECT_EQ(Handshake(listen, "b.a.example.test", "h2"), "h2 h2 ping\n");
    EXPECT_EQ(Handshake(listen, "other.test", "http/1.1"), "h1 http/1.1 ping\n");
    EXPECT_EQ(Handshake(listen, "-", "-"), "default - ping\n");

    tarnwick->signal(SIGTERM);
    ASSERT_EQ(tarnwick->wait(30s), 0) << tarnwick->err();
    EXPECT_NE(tarnwick->out().find("\trule 1 \"wild\"\t"), std::string::npos) << tarnwick->out();
    EXPECT_NE(tarnwick->out().find("\tdefault (no match)\t"), std::string::npos);
}

// Cut or malformed: all of it goes to the default destination, and the log says why.
TEST_F(TlsRulesE2E, ClientHelloThatCannotBeReadGoesToTheDefaultWithItsReason) {
    TestBackend fallback("plain:");
    const int listen = FreePort();
    Run(R"({"ports": [{"protocol": "tcp", "listenPort": )" + std::to_string(listen) +
        R"(, "forwardIp": "127.0.0.1", "forwardPort": )" + std::to_string(fallback.port()) +
        R"(, "timeoutSeconds": 1, "rules": [)" + Rule("any", "tls-alpn", "h2", FreePort()) +
        "]}]}");

    const std::string serverHello("\x16\x03\x03\x00\x05\x02\x00\x00\x01\x00", 10);
    Client malformed(listen);
    ASSERT_TRUE(malformed.send(serverHello));
    EXPECT_EQ(malformed.receive(6 + serverHello.size()), "plain:" + serverHello);

    const std::string cut("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    Client slow(listen);
    ASSERT_TRUE(slow.send(cut));
    EXPECT_EQ(slow.receive(6 + cut.size()), "plain:" + cut);  // at the 1-second timeout

    tarnwick->signal(SIGTERM);
    ASSERT_EQ(tarnwick->wait(30s), 0) << tarnwick->err();
    const std::string& log = tarnwick->out();
    EXPECT_NE(log.find("\tdefault (ClientHello malformed: another handshake message first)\t10\t"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\tdefault (ClientHello cut short: the port's timeout)\t11\t"),
              std::string::npos)
        << log;
}

// Behind a PROXY header, the ClientHello that follows it is read whole as well, here in
// three pieces: the header with the ClientHello's start, its key share, its server name.
TEST_F(TlsRulesE2E, ClientHelloAfterAProxyHeaderIsReadWhole) {
    TestBackend named("named:"), fallback("default:");
    const int listen = FreePort();
    Run(R"({"ports": [{"protocol": "tcp", "listenPort": )" + std::to_string(listen) +
        R"(, "acceptProxyProtocol": true, "forwardIp": "127.0.0.1", "forwardPort": )" +
        std::to_string(fallback.port()) + R"(, "timeoutSeconds": 10, "rules": [)" +
        Rule("named", "tls-sni", "svc.example.com", named.port()) + "]}]}");

    const test::Bytes bytes = test::ClientHelloRecords({"svc.example.com", {"h2"}, 1500, 600});
    const std::string hello(bytes.begin(), bytes.end());
    Client client(listen);
    ASSERT_TRUE(client.send("PROXY TCP4 192.0.2.7 127.0.0.1 50312 443\r\n" + hello.substr(0, 100)));
    ASSERT_TRUE(client.send(hello.substr(100, 900)));
    ASSERT_TRUE(client.send(hello.substr(1000)));
    EXPECT_EQ(client.receive(6 + hello.size()), "named:" + hello);
}

}  // namespace
}  // namespace tarnwick
