#include "engine/loop/Poller.h"

#include <sys/epoll.h>

#include <array>
#include <cerrno>
#include <cstdlib>

namespace tarnwick {

Poller::Poller() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_.valid()) {
        std::abort();
    }
    events_.reserve(MAX_EVENTS);
}

int Poller::add(int fd, Token token) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = token;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : -errno;
}

int Poller::remove(int fd) {
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr) == 0 ? 0 : -errno;
}

int Poller::wait(int timeoutMs) {
    std::array<epoll_event, MAX_EVENTS> ready;
    events_.clear();
    int count = ::epoll_wait(epoll_.get(), ready.data(), static_cast<int>(ready.size()), timeoutMs);
    if (count < 0) {
        return errno == EINTR ? 0 : -errno;
    }
    for (int i = 0; i < count; ++i) {
        const std::uint32_t got = ready[i].events;
        events_.push_back(Event{ready[i].data.u64, (got & EPOLLIN) != 0, (got & EPOLLOUT) != 0,
                                (got & EPOLLHUP) != 0, (got & EPOLLERR) != 0,
                                (got & EPOLLRDHUP) != 0});
    }
    return count;
}

}  // namespace tarnwick
