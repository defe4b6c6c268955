// PROXY protocol against a real peer that speaks it: haproxy as the load balancer in
// front of a port (send-proxy-v2) and as the destination behind ports (accept-proxy),
// whose log names the client it was told of.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/engine/AddressTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestBackend.h"
#include "tests/support/WaitUntil.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::FreePort;
using testing::TempDir;
using testing::TestBackend;

// scripts/deps.sh installs haproxy for the tests.
std::string HaproxyBinary() {
    for (const char* path : {"/usr/sbin/haproxy", "/usr/bin/haproxy", "/usr/local/sbin/haproxy"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

std::string Port(int port) {
    return std::to_string(port);
}

// True once something listens on TCP `port` of 127.0.0.1 (/proc/net/tcp, state 0A): asked
// without connecting, which haproxy would log.
bool Listening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && state == "0A") {
            return true;
        }
    }
    return false;
}

TEST(ProxyProtocolE2E, HaproxyLogsTheClientThatTarnwickNames) {
    const std::string haproxy = HaproxyBinary();
    if (haproxy.empty()) {
        GTEST_SKIP() << "haproxy is not installed (scripts/deps.sh installs it)";
    }
    TempDir temp;
    TestBackend echo("D:");
    const int balancer = FreePort(), behind = FreePort();
    const int sendsV1 = FreePort(), sendsV2 = FreePort(), takes = FreePort();
    std::ofstream(temp.file("haproxy.cfg"))
        << "global\n  log stdout format raw local0\n"
           "defaults\n  mode tcp\n  log global\n  timeout connect 10s\n"
           "  timeout client 30s\n  timeout server 30s\n"
           "frontend balancer\n  bind 127.0.0.1:" + Port(balancer) + "\n"
           "  default_backend tarnwick\n"
           "backend tarnwick\n  server t 127.0.0.1:" + Port(takes) + " send-proxy-v2\n"
           "frontend behind\n  bind 127.0.0.1:" + Port(behind) + " accept-proxy\n"
           "  log-format \"told-of %ci:%cp\"\n  default_backend echo\n"
           "backend echo\n  server e 127.0.0.1:" + Port(echo.port()) + "\n";
    // Each port of Tarnwick forwards to haproxy's "behind"; the third one sits behind its
    // "balancer" and takes the client from its header (haproxy connects from 127.0.0.1).
    auto port = [&](int listen, const char* extra) {
        return R"({"protocol":"tcp","listenPort":)" + Port(listen) +
               R"(,"forwardIp":"127.0.0.1","forwardPort":)" + Port(behind) + extra + "}";
    };
    std::ofstream(temp.file("ports.json"))
        << R"({"ports":[)" + port(sendsV1, R"(,"proxyProtocol":"v1")") + "," +
               port(sendsV2, R"(,"proxyProtocol":"v2")") + "," +
               port(takes, R"(,"proxyProtocol":"v1","acceptProxyProtocol":true,)"
                           R"("allowFrom":["127.0.0.1","127.0.0.2"])") +
               "]}";
    ChildProcess import(TARNWICK_BINARY,
                        {"--config-dir", temp.path(), "--import", temp.file("ports.json")});
    ASSERT_EQ(import.wait(30s), 0) << import.err();

    ChildProcess front(haproxy, {"-db", "-f", temp.file("haproxy.cfg")});
    ASSERT_TRUE(testing::WaitUntil([&] { return Listening(balancer) && Listening(behind); }, 20s))
        << front.out() << front.err();
    ChildProcess tarnwick(TARNWICK_BINARY,
                          {"--headless", "--log-connections", "--config-dir", temp.path()});
    ASSERT_TRUE(tarnwick.waitForOutput(
        [](const std::string& out) {
            std::size_t rows = 0;
            for (std::size_t at = 0; (at = out.find("\tYes\n", at)) != std::string::npos; ++at) {
                ++rows;
            }
            return rows == 3;
        },
        20s))
        << tarnwick.out() << tarnwick.err();

    for (int target : {sendsV1, sendsV2, balancer}) {
        SCOPED_TRACE("to port " + Port(target));
        int error = 0;
        UniqueFd client = testing::address::ConnectFrom("127.0.0.2", "127.0.0.1", target, error);
        ASSERT_TRUE(client.valid()) << std::strerror(error);
        const std::string clientAddress =
            "127.0.0.2:" + Port(SocketAddress::LocalOf(client.get()).port());
        ASSERT_EQ(::send(client.get(), "hi", 2, MSG_NOSIGNAL), 2);
        EXPECT_EQ(testing::ReadUpTo(client.get(), 4), "D:hi") << tarnwick.out() << front.out();
        client.reset();
        EXPECT_TRUE(front.waitForStdout("told-of " + clientAddress, 20s))
            << front.out() << front.err();
        if (target == balancer) {  // Tarnwick's own log names the client too
            EXPECT_TRUE(tarnwick.waitForStdout("\t" + clientAddress + "\t", 20s))
                << tarnwick.out();
        }
    }

    // A client that reaches the port that takes headers without one is reset, and
    // --status counts it.
    int error = 0;
    UniqueFd direct = testing::address::ConnectFrom("127.0.0.2", "127.0.0.1", takes, error);
    ASSERT_EQ(::send(direct.get(), "hi\r\n", 4, MSG_NOSIGNAL), 4);
    EXPECT_TRUE(tarnwick.waitForStdout("no valid PROXY header", 20s)) << tarnwick.out();
    ChildProcess status(TARNWICK_BINARY, {"--status", "--config-dir", temp.path()});
    ASSERT_EQ(status.wait(30s), 0) << status.err();
    EXPECT_NE(status.out().find("\tPROXY protocol: sends v1, takes headers from clients\n"
                                "\tconnections: 2 accepted"),
              std::string::npos)
        << status.out();
    EXPECT_NE(status.out().find("\tPROXY headers refused: 1 missing or not valid, 0 naming a "
                                "client not allowed\n"),
              std::string::npos)
        << status.out();
}

}  // namespace
}  // namespace tarnwick
