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

#include "../event/EventTestSupport.h"
#include "ForwardingPort.h"
#include "FreePort.h"
#include "RecordingCaptureLog.h"
#include "WorkerEntry.h"
#include "event/EngineMessages.h"
#include "event/Mailbox.h"
#include "event/ThreadRegistry.h"
#include "routing/CaptureLog.h"
#include "tcp/CThreadListenTCP.h"

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

// Plays the port controller for one port: starts a listener on a deep copy of `record`,
// with a mailbox as the port's owner window, and reads the listener's notices.
class PortHarness {
public:
    Mailbox owner;
    std::shared_ptr<RecordingCaptureLog> captureLog = std::make_shared<RecordingCaptureLog>();
    ForwardingPort record;
    WorkerEntry listener;

    explicit PortHarness(ForwardingPort port) : record(std::move(port)) {
        record.ownerWindow = owner.id();
    }

    // Starts a listener on `listenPort` (a fresh free port when 0), the way the controller
    // does: id and handle go into the record before the copy is made.
    WorkerEntry launch(int listenPort = 0) {
        ReservedPort reserved;
        record.listenPort = listenPort != 0 ? listenPort : reserved.port();
        auto worker = std::make_unique<CThreadListenTCP>(captureLog);
        record.threadId = worker->threadId();
        record.threadHandle = worker->threadHandle();
        worker->setPortCopy(record.deepCopy());
        listener = WorkerEntry{record.threadHandle, record.threadId};
        if (!WorkerThread::resume(std::move(worker))) {
            return {};
        }
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

    // Asks the listener to end and returns its answer, if any comes within `timeout`.
    std::optional<Message> request(std::uint32_t message, std::uintptr_t wParam,
                                   std::chrono::milliseconds timeout = 30s) {
        PostThreadMessage(listener.threadId, message, wParam);
        return owner.waitFor(timeout);
    }

    UniqueFd connect() const { return ConnectToLoopback(record.listenPort); }

    std::optional<Message> startedNotice;
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
