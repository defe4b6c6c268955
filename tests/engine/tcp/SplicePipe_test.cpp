#include "engine/tcp/SplicePipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <thread>

#include "tests/support/EventTestSupport.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ConnectToLoopback;
using testing::LoopbackListener;
using testing::ReadUpTo;

void WaitFor(int fd, short events) {
    pollfd one{fd, events, 0};
    ::poll(&one, 1, 1000);
}

// Stream sockets connected through two loopback listeners: client -> relay side a, relay
// side b -> server; the pipe carries what a receives to b, holding what b cannot take yet.
TEST(SplicePipe, MovesTheStreamIntactThenReportsItsEnd) {
    LoopbackListener inbound, outbound;
    UniqueFd client = ConnectToLoopback(inbound.port);
    UniqueFd a = inbound.accept();
    UniqueFd b = ConnectToLoopback(outbound.port);
    UniqueFd server = outbound.accept();
    for (int fd : {a.get(), b.get()}) {
        ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    }

    // Workers block SIGPIPE; so does this thread while it splices.
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);

    std::string data(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    std::thread writer([&] {
        ::send(client.get(), data.data(), data.size(), MSG_NOSIGNAL);
        ::shutdown(client.get(), SHUT_WR);
    });
    std::string received;
    std::thread reader([&] { received = ReadUpTo(server.get(), data.size(), 30s); });
    SplicePipe pipe;
    ASSERT_EQ(pipe.open(), 0);
    long moved = 1, total = 0;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while ((moved != 0 || pipe.size() > 0) && std::chrono::steady_clock::now() < deadline) {
        if (pipe.size() > 0) {
            long sent = pipe.drainTo(b.get());
            ASSERT_TRUE(sent > 0 || sent == -EAGAIN) << sent;
            if (sent == -EAGAIN)
                WaitFor(b.get(), POLLOUT);
            continue;
        }
        moved = pipe.fillFrom(a.get(), 65536);
        ASSERT_TRUE(moved >= 0 || moved == -EAGAIN) << moved;
        if (moved == -EAGAIN) {
            WaitFor(a.get(), POLLIN);
        } else {
            total += moved;
        }
    }
    writer.join();
    reader.join();
    EXPECT_EQ(moved, 0);  // the client's FIN, after all its data
    EXPECT_EQ(total, static_cast<long>(data.size()));
    EXPECT_TRUE(received == data);

    // The server is gone: draining fails with an error, and no signal ends the process.
    server.reset();
    UniqueFd second = ConnectToLoopback(inbound.port);
    UniqueFd c = inbound.accept();
    long result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) {
        ::send(second.get(), "xy", 2, MSG_NOSIGNAL);
        WaitFor(c.get(), POLLIN);
        ASSERT_GT(pipe.fillFrom(c.get(), 65536), 0);
        result = pipe.drainTo(b.get());
    }
    EXPECT_TRUE(result == -EPIPE || result == -ECONNRESET) << result;
    const timespec now{0, 0};
    while (::sigtimedwait(&pipeSignal, nullptr, &now) == SIGPIPE) {
    }  // the blocked signal stays pending: take it before unblocking
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace
}  // namespace tarnwick
