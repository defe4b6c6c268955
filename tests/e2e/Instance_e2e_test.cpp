// What a second start, a local status client and a hand-edited file can do to a running
// instance, seen from outside: the real program on one configuration directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>
#include <vector>

#include "base/UniqueFd.h"
#include "config/ConfigImage.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::FreePort;
using testing::TempDir;

class InstanceE2E : public ::testing::Test {
protected:
    std::unique_ptr<ChildProcess> StartHeadless() {
        auto child = std::make_unique<ChildProcess>(
            TARNWICK_BINARY, std::vector<std::string>{"--headless", "--config-dir", config.path()});
        EXPECT_TRUE(child->waitForStdout("Protocol\t", 20s)) << child->err();
        return child;
    }

    ChildProcess Run(std::vector<std::string> arguments, std::vector<std::string> environment = {}) {
        arguments.insert(arguments.end(), {"--config-dir", config.path()});
        return ChildProcess(TARNWICK_BINARY, arguments, environment);
    }

    std::string StatusText() {
        ChildProcess status = Run({"--status"});
        EXPECT_EQ(status.wait(30s), 0) << status.err();
        return status.out();
    }

    TempDir config, runtime;
};

TEST_F(InstanceE2E, ASecondInstanceIsRefusedAndTheFirstStillAnswers) {
    auto first = StartHeadless();
    const std::string holder = "is in use by process " + std::to_string(first->pid()) + " (headless)";

    ChildProcess second = Run({"--headless"});
    EXPECT_EQ(second.wait(30s), 1);
    EXPECT_NE(second.err().find(holder), std::string::npos) << second.err();

    ChildProcess window = Run({}, {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.path()});
    EXPECT_EQ(window.wait(30s), 1);
    EXPECT_NE(window.err().find(holder), std::string::npos) << window.err();

    EXPECT_EQ(StatusText().rfind("Tarnwick, headless, process " + std::to_string(first->pid()), 0), 0u);

    // The lock goes with its holder: the directory is free again.
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait(30s), 0) << first->err();
    auto third = StartHeadless();
    EXPECT_EQ(StatusText().rfind("Tarnwick, headless, process " + std::to_string(third->pid()), 0), 0u);
}

// Clients that connect and never finish a question are dropped, so that they cannot
// hold the server's descriptors; the server answers afterwards.
TEST_F(InstanceE2E, IdleStatusClientsAreDropped) {
    auto instance = StartHeadless();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = config.file("tarnwick.sock");
    path.copy(address.sun_path, sizeof address.sun_path - 1);

    std::vector<UniqueFd> idle;
    std::vector<pollfd> waiting;
    for (int i = 0; i < 40; ++i) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::send(fd.get(), "sta", 3, MSG_NOSIGNAL), 3);  // and never the rest
        waiting.push_back({fd.get(), POLLIN, 0});
        idle.push_back(std::move(fd));
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::size_t dropped = 0;
    while (dropped < waiting.size() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_GE(::poll(waiting.data(), waiting.size(), 1000), 0);
        for (pollfd& entry : waiting) {
            char byte;
            if (entry.fd >= 0 && entry.revents != 0 && ::recv(entry.fd, &byte, 1, 0) <= 0) {
                entry.fd = -1;  // ended by the server, nothing answered
                ++dropped;
            }
        }
    }
    EXPECT_EQ(dropped, waiting.size());
    EXPECT_EQ(StatusText().rfind("Tarnwick, headless", 0), 0u);
}

// A host name with a line break and a rule name with a terminal escape, as a hand-edited
// file may hold them: every line the program prints stays one line, with no raw control
// byte in it.
TEST_F(InstanceE2E, ControlBytesFromTheFileAreNeverPrintedRaw) {
    const int listen = FreePort();
    PortTable ports;
    auto port = std::make_unique<ForwardingPort>();
    port->listenPort = listen;
    port->forwardIp = "127.0.0.1\n2026-01-01 00:00:00\tTCP";
    port->forwardPort = 9;
    auto rule = std::make_unique<ForwardingRule>();
    rule->ruleName = "r\x1b[2J";
    rule->searchData = "x";
    rule->forwardIp = "127.0.0.1";
    rule->forwardPort = 9;
    port->appendRule(std::move(rule));
    ports.push_back(std::move(port));
    const std::vector<unsigned char> image = ConfigImage::Encode(ports);
    std::ofstream(config.file("Brisel.cfg"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    const std::string row = "TCP\tlocalhost:" + std::to_string(listen) +
                            "\t127.0.0.1\\x0a2026-01-01 00:00:00\\tTCP:9\tSmart\t";
    auto instance = StartHeadless();
    ASSERT_TRUE(instance->waitForStdout(row + "Yes\n", 20s)) << instance->out();
    ChildProcess list = Run({"--list"});
    ASSERT_EQ(list.wait(30s), 0) << list.err();
    EXPECT_NE(list.out().find(row + "No\n\tr\\x1b[2J\t"), std::string::npos) << list.out();

    for (const std::string& out : {instance->out(), list.out(), StatusText()}) {
        for (char byte : out) {
            EXPECT_TRUE(byte == '\n' || byte == '\t' || static_cast<unsigned char>(byte) >= 0x20)
                << "raw byte " << int(byte) << " in:\n" << out;
        }
        EXPECT_EQ(out.find("\n2026-"), std::string::npos) << out;
    }
}

}  // namespace
}  // namespace tarnwick
