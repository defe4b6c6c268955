#include "bench/TcpBackend.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <unordered_map>
#include <vector>

#include "bench/Net.h"

namespace tarnwick::bench {

namespace {

constexpr std::size_t kScratchSize = 256 * 1024;
constexpr int kMaxEvents = 128;
// Accepts per readiness notice: a small batch keeps the threads sharing new connections.
constexpr int kAcceptBatch = 8;

std::uint32_t eventsFor(BackendConnection::Want want) {
    return want == BackendConnection::Want::Write ? EPOLLOUT : EPOLLIN;
}

// The connections of one serving thread.
class ConnectionSet {
public:
    ConnectionSet(const BackendMode& mode, BackendCounters& counters, int epollFd)
        : mode_(mode), counters_(counters), epoll_(epollFd), scratch_(kScratchSize) {}

    void acceptFrom(int listener) {
        for (int i = 0; i < kAcceptBatch; ++i) {
            UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd.valid()) {
                return;
            }
            setNoDelay(fd.get());
            epoll_event event{EPOLLIN, {}};
            event.data.fd = fd.get();
            if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd.get(), &event) != 0) {
                continue;
            }
            ++counters_.connections;
            const int key = fd.get();
            connections_[key] = {std::make_unique<BackendConnection>(std::move(fd), mode_),
                                 BackendConnection::Want::Read};
        }
    }

    void handle(int fd, std::uint32_t events) {
        const auto found = connections_.find(fd);
        if (found == connections_.end()) {
            return;
        }
        Entry& entry = found->second;
        const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0 && (events & EPOLLIN) == 0;
        BackendConnection::Want want = BackendConnection::Want::Close;
        if (!failed) {
            want = entry.want == BackendConnection::Want::Write
                       ? entry.connection->onWritable(counters_)
                       : entry.connection->onReadable(scratch_, counters_);
        }
        if (want == BackendConnection::Want::Close) {
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            connections_.erase(found);
            return;
        }
        if (want != entry.want) {
            epoll_event event{eventsFor(want), {}};
            event.data.fd = fd;
            ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
            entry.want = want;
        }
    }

private:
    struct Entry {
        std::unique_ptr<BackendConnection> connection;
        BackendConnection::Want want;
    };

    const BackendMode& mode_;
    BackendCounters& counters_;
    int epoll_;
    std::vector<char> scratch_;
    std::unordered_map<int, Entry> connections_;
};

}  // namespace

TcpBackend::TcpBackend(UniqueFd listener, BackendMode mode)
    : listener_(std::move(listener)), mode_(std::move(mode)) {}

void TcpBackend::serve(int stopFd, BackendCounters& counters) const {
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event event{EPOLLIN | EPOLLEXCLUSIVE, {}};
    event.data.fd = listener_.get();
    ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listener_.get(), &event);
    event = {EPOLLIN, {}};
    event.data.fd = stopFd;
    ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stopFd, &event);

    ConnectionSet connections(mode_, counters, epoll.get());
    std::vector<epoll_event> ready(kMaxEvents);
    for (;;) {
        const int count = ::epoll_wait(epoll.get(), ready.data(), kMaxEvents, -1);
        if (count < 0 && errno != EINTR) {
            return;
        }
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == stopFd) {
                return;
            }
            if (fd == listener_.get()) {
                connections.acceptFrom(fd);
            } else {
                connections.handle(fd, ready[i].events);
            }
        }
    }
}

}  // namespace tarnwick::bench
