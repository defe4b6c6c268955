#include "engine/event/Poller.h"

#include <poll.h>

#include <cerrno>

namespace tarnwick {

void Poller::add(int fd, Token token, bool wantRead, bool wantWrite) {
    auto wanted = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    entries_.push_back(Entry{fd, wanted, token});
}

int Poller::wait(int timeoutMs, const sigset_t* mask) {
    // pollfd is rebuilt from entries_ on every call: a worker watches a handful of
    // descriptors, so the copy costs nothing next to the system call.
    thread_local std::vector<pollfd> fds;
    fds.clear();
    ready_.clear();
    for (const Entry& entry : entries_) {
        fds.push_back(pollfd{entry.fd, entry.wanted, 0});
    }
    timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    int count = ::ppoll(fds.data(), fds.size(), timeoutMs < 0 ? nullptr : &timeout, mask);
    if (count < 0) {
        return errno == EINTR ? 0 : -errno;
    }
    for (std::size_t i = 0; i < fds.size() && ready_.size() < static_cast<std::size_t>(count);
         ++i) {
        short got = fds[i].revents;
        if (got != 0) {
            ready_.push_back(Ready{entries_[i].token,
                                   Readiness{(got & POLLIN) != 0, (got & POLLOUT) != 0,
                                             (got & POLLHUP) != 0,
                                             (got & (POLLERR | POLLNVAL)) != 0}});
        }
    }
    return count;
}

}  // namespace tarnwick
