#include "engine/socket/Socket.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/EventTestSupport.h"
#include "engine/worker/Mailbox.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ConnectToLoopback;
using testing::LoopbackListener;
using testing::PeerClosed;
using testing::ReadUpTo;
using testing::TestWorker;

// A port nobody listens on: bound, so nobody else takes it, but never listening.
struct ClosedPort {
    Socket holder;
    int port = 0;
    ClosedPort() {
        holder.Create(0, SocketType::Stream);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::bind(holder.handle(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        port = holder.localPort();
    }
};

SocketAddress LoopbackAddress(int port) {
    std::vector<SocketAddress> found = SocketAddress::Resolve("127.0.0.1", port);
    return found.empty() ? SocketAddress() : found.front();
}

// Short dotted forms stay IPv4 as inet_addr reads them; IPv6 literals may be bracketed;
// a name gives what the resolver gives, of either family.
TEST(SocketAddressResolve, TakesDottedFormsLiteralsAndNamesAndRefusesBadPorts) {
    const std::pair<const char*, const char*> cases[] = {
        {"127.0.0.1", "127.0.0.1:8080"}, {"127.1", "127.0.0.1:8080"},
        {"0x7f.0.0.1", "127.0.0.1:8080"}, {"::1", "[::1]:8080"}, {"[::1]", "[::1]:8080"}};
    for (const auto& [host, expected] : cases) {
        std::vector<SocketAddress> found = SocketAddress::Resolve(host, 8080);
        ASSERT_EQ(found.size(), 1u) << host;
        EXPECT_EQ(found.front().toString(), expected) << host;
    }
    std::vector<std::string> localhost;
    for (const SocketAddress& address : SocketAddress::Resolve("localhost", 8080)) {
        localhost.push_back(address.toString());
    }
    EXPECT_THAT(localhost, ::testing::Contains("127.0.0.1:8080"));
    EXPECT_TRUE(SocketAddress::Resolve("127.0.0.1", 70000).empty());
    EXPECT_TRUE(SocketAddress::Resolve("127.0.0.1", -1).empty());
}

// Records the result of a connect, which comes as a notice.
class ConnectingSocket : public Socket {
public:
    int result = -1;

protected:
    void OnConnect(int error) override { result = error; }
};

// Starts a connect and, when it cannot finish at once, polls for its end the way the loop
// does and hands the poll result to the socket; returns the socket's result.
int ConnectAndWait(ConnectingSocket& socket, int port) {
    int started = socket.Connect(LoopbackAddress(port));
    if (started != -EINPROGRESS) {
        return -started;
    }
    EXPECT_TRUE(socket.isConnecting() && socket.wantsWrite());
    pollfd one{socket.handle(), POLLOUT, 0};
    if (::poll(&one, 1, 10000) != 1) {
        return -1;
    }
    socket.onIo(Readiness{false, (one.revents & POLLOUT) != 0, (one.revents & POLLHUP) != 0,
                          (one.revents & POLLERR) != 0});
    EXPECT_FALSE(socket.isConnecting());
    EXPECT_FALSE(socket.wantsWrite()) << "write notices are the caller's again";
    return socket.result;
}

TEST(SocketConnect, StartsWithoutWaitingAndReportsTheResultAsANotice) {
    ClosedPort closed;
    LoopbackListener listener;
    ConnectingSocket refused;
    ASSERT_EQ(refused.Create(), 0);
    EXPECT_EQ(ConnectAndWait(refused, closed.port), ECONNREFUSED);
    ConnectingSocket made;
    ASSERT_EQ(made.Create(), 0);
    EXPECT_EQ(ConnectAndWait(made, listener.port), 0);
    EXPECT_TRUE(listener.accept().valid());

    Socket notOpen;
    EXPECT_EQ(notOpen.Connect(LoopbackAddress(closed.port)), -EBADF);
}

TEST(SocketSend, TakesWhatFitsWithoutWaitingAndNeverRaisesSigpipe) {
    LoopbackListener listener;
    ConnectingSocket socket;
    ASSERT_EQ(socket.Create(), 0);
    ASSERT_EQ(ConnectAndWait(socket, listener.port), 0);
    UniqueFd peer = listener.accept();

    // The peer does not read yet: the socket takes part of a large piece, then nothing.
    const std::string data(8 * 1024 * 1024, 'd');  // far more than the socket buffers
    long first = socket.Send(data.data(), data.size());
    ASSERT_GT(first, 0);
    ASSERT_LT(first, static_cast<long>(data.size()));
    std::size_t sent = static_cast<std::size_t>(first);
    long more = 0;
    while (more >= 0) {
        more = socket.Send(data.data() + sent, data.size() - sent);
        sent += more > 0 ? static_cast<std::size_t>(more) : 0;
    }
    EXPECT_EQ(more, -EAGAIN);

    // Once the peer reads, the rest goes as the socket becomes writable again.
    std::string received;
    std::thread reader([&] { received = ReadUpTo(peer.get(), data.size(), 30s); });
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (sent < data.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd writable{socket.handle(), POLLOUT, 0};
        ::poll(&writable, 1, 1000);
        more = socket.Send(data.data() + sent, data.size() - sent);
        ASSERT_TRUE(more > 0 || more == -EAGAIN) << more;
        sent += more > 0 ? static_cast<std::size_t>(more) : 0;
    }
    reader.join();
    EXPECT_EQ(received.size(), data.size());

    // The peer is gone: sends fail with an error instead of killing the process.
    peer.reset();
    long result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) {
        result = socket.Send("x", 1);
    }
    EXPECT_TRUE(result == -EPIPE || result == -ECONNRESET) << result;
}

TEST(SocketListen, SecondLiveListenerFailsButARestartedOneBindsDespiteTimeWait) {
    Socket first;
    ASSERT_EQ(first.Create(0, SocketType::Stream, true), 0);
    ASSERT_EQ(first.Listen(5), 0);
    int port = first.localPort();

    Socket second;
    int bound = second.Create(port, SocketType::Stream, true);
    EXPECT_TRUE(bound == -EADDRINUSE || second.Listen(5) == -EADDRINUSE);
    second.Close();

    // Leave a connection of the port in TIME_WAIT: the listening side closes first.
    UniqueFd client = ConnectToLoopback(port);
    Socket accepted;
    ASSERT_TRUE(testing::WaitUntil([&] { return first.Accept(accepted) == 0; }));
    accepted.Close();
    ASSERT_TRUE(PeerClosed(client.get()));
    client.reset();
    first.Close();

    Socket restarted;
    EXPECT_EQ(restarted.Create(port, SocketType::Stream, true), 0);
    EXPECT_EQ(restarted.Listen(5), 0);
}

TEST(SocketHandle, CloseDetachAndAttachFollowTheirContracts) {
    Socket socket;
    socket.Close();  // not open: nothing
    EXPECT_EQ(socket.Detach(), -1);
    EXPECT_FALSE(socket.Attach(-1));

    ASSERT_EQ(socket.Create(), 0);
    int fd = socket.handle();
    Socket other;
    UniqueFd spare(::dup(fd));
    EXPECT_FALSE(socket.Attach(spare.get())) << "an open socket takes nothing";
    EXPECT_EQ(socket.Detach(), fd);
    EXPECT_FALSE(socket.isOpen());
    EXPECT_GE(::fcntl(fd, F_GETFD), 0) << "detach must not close";
    EXPECT_TRUE(other.Attach(fd));
    EXPECT_EQ(other.handle(), fd);
    other.Close();
    other.Close();
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "close closes";
}

// Descriptors run out: the waiting connection is taken with the spare and dropped, the
// listener is left with nothing pending, and accepts normally once descriptors are free.
TEST(SocketAccept, OutOfDescriptorsDropsTheWaitingConnectionWithoutStalling) {
    Socket listener;
    ASSERT_EQ(listener.Create(0, SocketType::Stream, true), 0);
    ASSERT_EQ(listener.Listen(5), 0);
    ASSERT_TRUE(listener.hasSpareDescriptor());
    UniqueFd dropped = ConnectToLoopback(listener.localPort());
    UniqueFd later(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));

    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit lowered = original;
    lowered.rlim_cur = static_cast<rlim_t>(later.get() + 8);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<UniqueFd> fillers;
    for (;;) {
        UniqueFd filler(::dup(0));
        if (!filler.valid()) {
            break;
        }
        fillers.push_back(std::move(filler));
    }
    Socket target;
    int result = listener.Accept(target);
    fillers.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);

    EXPECT_EQ(result, -EMFILE);
    EXPECT_FALSE(target.isOpen());
    EXPECT_TRUE(PeerClosed(dropped.get()));
    pollfd pending{listener.handle(), POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0), 0) << "nothing left to spin on";
    EXPECT_TRUE(listener.hasSpareDescriptor());

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(listener.localPort()));
    ASSERT_EQ(::connect(later.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(testing::WaitUntil([&] { return listener.Accept(target) == 0; }));
    EXPECT_TRUE(target.isOpen());
}

// An echo socket that prefixes what it sends back with its worker's tag.
class TaggedEcho : public Socket {
public:
    explicit TaggedEcho(std::string tag) : tag_(std::move(tag)) {}

protected:
    void OnReceive(int) override {
        char buffer[4096];
        long n = Receive(buffer, sizeof buffer);
        if (n > 0) {
            std::string reply = tag_ + std::string(buffer, static_cast<std::size_t>(n));
            Send(reply.data(), reply.size());
        } else if (n == 0) {
            setReadNotices(false);
        }
    }

private:
    std::string tag_;
};

constexpr std::uint32_t TAKE_OVER = 5001;  // wParam: descriptor to attach
constexpr std::uint32_t HAND_OVER = 5002;  // wParam: worker to hand the descriptor to
constexpr std::uint32_t FINISH = 5003;

std::unique_ptr<TestWorker> MakeEchoWorker(const std::string& tag) {
    auto socket = std::make_shared<TaggedEcho>(tag);  // lives and dies on the worker thread
    return std::make_unique<TestWorker>([socket](TestWorker& self, const Message& message) {
        if (message.message == TAKE_OVER) {
            socket->Attach(static_cast<int>(message.wParam));
        } else if (message.message == HAND_OVER) {
            int fd = socket->Detach();
            PostThreadMessage(static_cast<ThreadId>(message.wParam), TAKE_OVER,
                              static_cast<std::uintptr_t>(fd));
        } else if (message.message == FINISH) {
            socket->Close();
            self.end();
        }
    });
}

TEST(SocketHandOver, LiveConnectionMovesBetweenWorkersWithoutLosingBytes) {
    auto first = MakeEchoWorker("A:");
    auto second = MakeEchoWorker("B:");
    ThreadId firstId = first->threadId();
    ThreadId secondId = second->threadId();
    ThreadHandle firstHandle = first->threadHandle();
    ThreadHandle secondHandle = second->threadHandle();
    ASSERT_TRUE(WorkerThread::resume(std::move(first)));
    ASSERT_TRUE(WorkerThread::resume(std::move(second)));

    LoopbackListener listener;
    UniqueFd client = ConnectToLoopback(listener.port);
    UniqueFd served = listener.accept();
    ASSERT_TRUE(
        PostThreadMessage(firstId, TAKE_OVER, static_cast<std::uintptr_t>(served.release())));

    ASSERT_EQ(::send(client.get(), "one", 3, 0), 3);
    EXPECT_EQ(ReadUpTo(client.get(), 5), "A:one");
    ASSERT_TRUE(PostThreadMessage(firstId, HAND_OVER, secondId));
    ASSERT_EQ(::send(client.get(), "two", 3, 0), 3);  // may arrive while nobody holds it
    EXPECT_EQ(ReadUpTo(client.get(), 5), "B:two");
    ASSERT_EQ(::send(client.get(), "three", 5, 0), 5);
    EXPECT_EQ(ReadUpTo(client.get(), 7), "B:three");

    PostThreadMessage(firstId, FINISH);
    PostThreadMessage(secondId, FINISH);
    EXPECT_TRUE(firstHandle.wait(10s));
    EXPECT_TRUE(secondHandle.wait(10s));
    EXPECT_TRUE(PeerClosed(client.get()));
}

}  // namespace
}  // namespace tarnwick
