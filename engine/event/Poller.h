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
    // reported; readability only when asked for.
    std::size_t add(int fd, bool wantRead);

    // Waits until something is ready or the time-out (-1 = none) passes. Returns the
    // number of ready descriptors, 0 on time-out or interruption, or -errno.
    int wait(int timeoutMs);
    Readiness readiness(std::size_t index) const;

    // Waits on one descriptor alone, for readability or writability. Returns 1 when it is
    // ready (or hung up, or failed: the caller's next call finds out which), 0 on time-out
    // or interruption, or -errno.
    static int waitOne(int fd, bool forWrite, int timeoutMs);

private:
    struct Entry {
        int fd;
        short wanted;
        short returned;
    };
    std::vector<Entry> entries_;
};

}  // namespace tarnwick
