#pragma once

#include <cstddef>
#include <cstdint>

#include <signal.h>
#include <vector>

#include "engine/event/Readiness.h"

namespace tarnwick {

// The event layer's only contact with the multiplexer (poll(2) here; another backend
// would replace this file alone). Internal to engine/event.
class Poller {
public:
    // The caller's name for a descriptor of the set, handed back with its readiness.
    using Token = std::uint64_t;
    struct Ready {
        Token token;
        Readiness readiness;
    };

    // Starts a new set of descriptors to wait on.
    void clear() { entries_.clear(); }
    // Adds a descriptor under `token`. Hang-ups and errors are always reported;
    // readability and writability only when asked for.
    void add(int fd, Token token, bool wantRead, bool wantWrite = false);

    // Waits, with the thread's signal mask set to `mask` (null: as it is), until something
    // is ready, the time-out (-1 = none) passes or a signal arrives. Returns the number of
    // ready descriptors, 0 on time-out or interruption, or -errno.
    int wait(int timeoutMs, const sigset_t* mask = nullptr);
    // The descriptors the last wait found ready, in the order they were added. Both
    // vectors keep their storage from one wait to the next.
    const std::vector<Ready>& ready() const { return ready_; }

private:
    struct Entry {
        int fd;
        short wanted;
        Token token;
    };
    std::vector<Entry> entries_;
    std::vector<Ready> ready_;
};

}  // namespace tarnwick
