#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/EventTestSupport.h"
#include "engine/CPortController.h"
#include "config/ForwardingPort.h"
#include "tests/support/FreePort.h"
#include "engine/PortView.h"
#include "tests/support/RecordingCaptureLog.h"
#include "engine/WorkerEntry.h"
#include "engine/EngineMessages.h"
#include "engine/worker/Mailbox.h"
#include "engine/worker/ThreadRegistry.h"
#include "engine/routing/CaptureLog.h"
#include "engine/tcp/CThreadListenTCP.h"

namespace tarnwick::testing {

using namespace std::chrono_literals;

inline ForwardingPort StandardPort(int forwardPort) {
    ForwardingPort port;
    port.forwardIp = "127.0.0.1";
    port.forwardPort = forwardPort;
    return port;
}

inline std::unique_ptr<ForwardingRule> TextRule(const std::string& text, int forwardPort) {
    auto rule = std::make_unique<ForwardingRule>();
    rule->searchType = 0;
    rule->caseSensitive = 1;
    rule->forwardIp = "127.0.0.1";
    rule->forwardPort = forwardPort;
    rule->searchData = text;
    return rule;
}

// One port in a real port controller, whose owner window is a mailbox that the test reads
// itself: the controller starts the listener, and the test sees the listener's notices.
class PortHarness {
public:
    Mailbox owner;
    std::shared_ptr<RecordingCaptureLog> captureLog = std::make_shared<RecordingCaptureLog>();

private:
    // The "Running" column, which the notices never reach: the test reads them instead.
    class NoView : public PortView {
    public:
        void setRunning(std::size_t, bool, int) override {}
    };
    NoView view_;
    CPortController controller_{view_, owner.id(), captureLog};

public:
    ForwardingPort& record;  // the controller's only row
    WorkerEntry listener;

    explicit PortHarness(ForwardingPort port) : record(AddRow(controller_, std::move(port))) {}

    // Starts a listener on `listenPort` (a fresh free port when 0) through the controller,
    // which stores its id and handle in the record before it hands over a copy.
    WorkerEntry launch(int listenPort = 0) {
        if (record.isStarted()) {
            controller_.onPortStopped(record.threadId);  // the earlier listener has ended
        }
        ReservedPort reserved;
        record.listenPort = listenPort != 0 ? listenPort : reserved.port();
        controller_.startPort(0);
        if (!record.isStarted()) {
            return {};
        }
        listener = WorkerEntry{record.threadHandle, record.threadId};
        if (listenPort == 0) {
            startedNotice = owner.waitFor(10s);  // the reservation may go once it listens
        }
        return listener;
    }

    // Launches on a free port and checks the WM_PORT_STARTED notice.
    bool start() {
        launch();
        return startedNotice && startedNotice->message == WM_PORT_STARTED &&
               startedNotice->wParam == listener.threadId &&
               startedNotice->handle == listener.threadHandle;
    }

    // Asks the listener to end and returns its answer, if any comes within `timeout`. The
    // harness starts no worker after a restart, so it closes the socket the answer hands
    // on, as the controller would for a port that is not started again.
    std::optional<Message> request(std::uint32_t message, std::uintptr_t wParam,
                                   std::chrono::milliseconds timeout = 30s) {
        PostThreadMessage(listener.threadId, message, wParam);
        std::optional<Message> answer = owner.waitFor(timeout);
        if (answer) {
            answer->descriptor.reset();
        }
        return answer;
    }

    UniqueFd connect() const { return ConnectToLoopback(record.listenPort); }

    // The running port's counters; null while it has no worker.
    std::shared_ptr<const PortCounters> counters() const { return controller_.counters(0); }
    // Before launch: every ended connection's record goes to `log` once `drainLog` runs.
    void logConnections() {
        controller_.setConnectionLog([this](const ConnectionRecord& r) { log.push_back(r); });
    }
    void drainLog() { controller_.drainConnectionLog(); }
    std::vector<ConnectionRecord> log;

    // Restarts the port as an edit in the window does: the controller asks the listener to
    // restart and, from its answer, which hands the listening socket on, starts the next
    // listener. True once that one listens.
    bool restart() {
        controller_.requestRestart(0);
        std::optional<Message> answer = owner.waitFor(10s);
        if (!answer || answer->message != WM_PORT_RESTART) {
            return false;
        }
        controller_.handleNotice(*answer);
        listener = WorkerEntry{record.threadHandle, record.threadId};
        startedNotice = owner.waitFor(10s);
        return startedNotice && startedNotice->message == WM_PORT_STARTED &&
               startedNotice->wParam == listener.threadId;
    }

    std::optional<Message> startedNotice;

private:
    static ForwardingPort& AddRow(CPortController& controller, ForwardingPort port) {
        controller.insertPort(std::make_unique<ForwardingPort>(std::move(port)));
        return controller.port(0);
    }
};

// A test with one port at a time, which TearDown stops, ending every session with it, so
// that each test leaves nothing running. A test may call TearDown itself to start another.
class PortTest : public ::testing::Test {
protected:
    std::unique_ptr<PortHarness> port;

    // `stopWait`: how long the port may take to answer the stop.
    explicit PortTest(std::chrono::milliseconds stopWait = 30s) : stopWait_(stopWait) {}

    void startPort(ForwardingPort record) {
        port = std::make_unique<PortHarness>(std::move(record));
        ASSERT_TRUE(port->start());
    }
    void TearDown() override {
        if (port) {
            auto answer = port->request(WM_PORT_STOP, 0, stopWait_);
            ASSERT_TRUE(answer);
            checkStopAnswer(*answer);
            EXPECT_TRUE(port->listener.threadHandle.wait(10s));
        }
    }
    // What a fixture checks of the answer to that stop besides its coming in time.
    virtual void checkStopAnswer(const Message&) {}

private:
    std::chrono::milliseconds stopWait_;
};

// The socket of this process at the other end of `peer`, a connection of the test's own
// to a relay running in this process; -1 if there is none.
inline int RelaySocketFacing(int peer) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(peer, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return -1;
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string());
        sockaddr_in remote{};
        length = sizeof remote;
        if (fd != peer && ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) == 0 &&
            remote.sin_family == AF_INET && remote.sin_port == local.sin_port &&
            remote.sin_addr.s_addr == local.sin_addr.s_addr) {
            return fd;
        }
    }
    return -1;
}

// True while the relay's socket towards `peer` takes nothing more: a relay with more bytes
// for `peer` has to wait for it. A peer that never reads keeps it so.
inline bool RelayCannotSendTo(int peer) {
    pollfd writable{RelaySocketFacing(peer), POLLOUT, 0};
    return writable.fd >= 0 && ::poll(&writable, 1, 0) == 0;
}

// Sends `data` and then a FIN on `fd` while reading everything that comes back until the
// peer's FIN; returns what came back.
inline std::string Exchange(int fd, const std::string& data,
                            std::chrono::milliseconds timeout = 60s) {
    std::thread writer([fd, &data] {
        std::size_t sent = 0;
        while (sent < data.size()) {
            ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
    });
    std::string received = ReadUpTo(fd, SIZE_MAX, timeout);
    writer.join();
    return received;
}

}  // namespace tarnwick::testing
