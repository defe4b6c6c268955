#include "event/Poller.h"

#include <poll.h>

#include <cerrno>

namespace tarnwick {

std::size_t Poller::add(int fd, bool wantRead, bool wantWrite) {
    auto wanted = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    entries_.push_back(Entry{fd, wanted, 0});
    return entries_.size() - 1;
}

int Poller::wait(int timeoutMs) {
    // pollfd is rebuilt from entries_ on every call: a worker watches a handful of
    // descriptors, so the copy costs nothing next to the system call.
    thread_local std::vector<pollfd> fds;
    fds.clear();
    for (Entry& entry : entries_) {
        fds.push_back(pollfd{entry.fd, entry.wanted, 0});
        entry.returned = 0;
    }
    int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0) {
        return errno == EINTR ? 0 : -errno;
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        entries_[i].returned = fds[i].revents;
    }
    return ready;
}

Readiness Poller::readiness(std::size_t index) const {
    short got = entries_[index].returned;
    return Readiness{(got & POLLIN) != 0, (got & POLLOUT) != 0, (got & POLLHUP) != 0,
                     (got & (POLLERR | POLLNVAL)) != 0};
}

}  // namespace tarnwick
