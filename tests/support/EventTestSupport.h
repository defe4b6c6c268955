#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "tests/support/WaitUntil.h"
#include "engine/loop/Message.h"
#include "base/UniqueFd.h"
#include "engine/EngineMessages.h"
#include "engine/worker/WorkerThread.h"

namespace tarnwick::testing {

// Descriptors and threads of this process, for checks that a relay gives back what it took.
inline std::size_t CountEntries(const char* directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++count;
    }
    return count;
}
inline std::size_t OpenDescriptors() {
    return CountEntries("/proc/self/fd");
}
inline std::size_t LiveThreads() {
    return CountEntries("/proc/self/task");
}

// A connected pair of local stream sockets.
struct SocketPair {
    UniqueFd a;
    UniqueFd b;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            a.reset(fds[0]);
            b.reset(fds[1]);
        }
    }
};

// A plain blocking socket listening on 127.0.0.1 at a port the system chose.
struct LoopbackListener {
    UniqueFd fd;
    int port = 0;
    explicit LoopbackListener(int backlog = 16) {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd.get(), backlog) != 0 ||
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            fd.reset();
            return;
        }
        port = ntohs(address.sin_port);
    }
    UniqueFd accept() const {
        return UniqueFd(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
};

// A plain blocking connection to 127.0.0.1:port; invalid if it failed.
inline UniqueFd ConnectToLoopback(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fd.reset();
    }
    return fd;
}

// Reads from a blocking or non-blocking descriptor until `count` bytes came, the peer
// closed, or `timeout` passed; returns what arrived.
inline std::string ReadUpTo(int fd, std::size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string received;
    char buffer[65536];
    while (received.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd one{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&one, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        ssize_t n =
            ::recv(fd, buffer, std::min(sizeof buffer, count - received.size()), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            break;
        }
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return received;
}

// Waits up to `timeout` for the peer to end the connection; true once a read returns 0
// or fails with a reset. Data that arrives meanwhile is discarded.
inline bool PeerClosed(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd one{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&one, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return true;
        }
    }
}

// A worker whose handlers are set by the test. Handlers run on the worker's thread and
// get the worker, so they can reach its timers and end its loop.
class TestWorker : public WorkerThread {
public:
    using MessageHandler = std::function<void(TestWorker&, const Message&)>;
    using TimerHandler = std::function<void(TestWorker&, TimerId)>;

    // Starts, as the engine's workers do, on WM_PORT_STARTED.
    explicit TestWorker(MessageHandler onMessage, TimerHandler onTimer = {})
        : WorkerThread(WM_PORT_STARTED),
          onMessage_(std::move(onMessage)),
          onTimer_(std::move(onTimer)) {}

    TimerId startTimer(std::chrono::milliseconds interval) { return setTimer(interval); }
    void stopTimer(TimerId id) { killTimer(id); }
    void end() { quit(); }

protected:
    void onMessage(const Message& message) override {
        if (onMessage_) {
            onMessage_(*this, message);
        }
    }
    void onTimer(TimerId id) override {
        if (onTimer_) {
            onTimer_(*this, id);
        }
    }

private:
    MessageHandler onMessage_;
    TimerHandler onTimer_;
};

}  // namespace tarnwick::testing
