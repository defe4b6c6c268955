#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/UniqueFd.h"

namespace tarnwick {

// The event layer's only contact with the multiplexer: epoll here; another backend (IOCP,
// kqueue) would replace this file and Waker alone. Internal to engine/loop.
//
// A descriptor is added once with everything it can report, edge-triggered: each change
// of its state (data arrives, its send buffer frees up, the peer ends) is reported once,
// and the loop keeps what it learnt until the socket finds the state used up. So a socket
// whose interest changes costs no call here, and a descriptor that is closed leaves the
// set by itself (the kernel drops it with its last reference), which saves a call per
// socket; only a descriptor that stays open elsewhere is removed.
class Poller {
public:
    // The caller's name for a descriptor of the set, handed back with its events.
    using Token = std::uint64_t;
    struct Event {
        Token token;
        bool readable;
        bool writable;
        bool hangup;  // both directions are shut, or the connection was reset
        bool error;
        bool peerClosed;  // the peer has ended its data: what is waiting ends with a FIN
    };

    Poller();  // aborts when the system cannot make a set: nothing could run without one
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Adds `fd` under `token`; 0 or -errno.
    int add(int fd, Token token);
    // Removes `fd`, which stays open; 0 or -errno.
    int remove(int fd);

    // Waits until something is ready or the time-out (-1 = none) passes. Returns the
    // number of events, 0 on time-out or interruption, or -errno.
    int wait(int timeoutMs);
    // The events of the last wait. Its storage is kept from one wait to the next.
    const std::vector<Event>& events() const { return events_; }

private:
    static constexpr std::size_t MAX_EVENTS = 256;  // more wait for the next turn

    UniqueFd epoll_;
    std::vector<Event> events_;
};

}  // namespace tarnwick
