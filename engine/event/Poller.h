#pragma once

#include <cstddef>
#include <vector>

namespace tarnwick {

// What poll reported for one descriptor.
struct Readiness {
    bool readable = false;  // data, a waiting connection, or the peer's FIN
    bool writable = false;
    bool hangup = false;  // both directions are shut, or the connection was reset
    bool error = false;
};

// The event layer's only contact with the multiplexer (poll(2) here; another backend
// would replace this file alone). Internal to engine/event.
class Poller {
public:
    // Starts a new set of descriptors to wait on.
    void clear() { entries_.clear(); }
    // Adds a descriptor and returns its index in the set. Hang-ups and errors are always
    // reported; readability and writability only when asked for.
    std::size_t add(int fd, bool wantRead, bool wantWrite = false);

    // Waits until something is ready or the time-out (-1 = none) passes. Returns the
    // number of ready descriptors, 0 on time-out or interruption, or -errno.
    int wait(int timeoutMs);
    Readiness readiness(std::size_t index) const;

private:
    struct Entry {
        int fd;
        short wanted;
        short returned;
    };
    std::vector<Entry> entries_;
};

}  // namespace tarnwick
