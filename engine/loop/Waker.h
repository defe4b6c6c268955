#pragma once

#include "base/UniqueFd.h"

namespace tarnwick {

// How another thread ends a loop's wait: one descriptor per loop (an eventfd here), in the
// loop's poll set. Its owner, the loop's inbox, wakes it at most once per batch of posts.
// Internal to engine/loop.
//
// The loop watches it edge-triggered and never reads it: every write is a fresh edge, and
// the counter, which only the kernel keeps, would need 2^64 wake-ups to fill.
class Waker {
public:
    Waker();  // aborts when the system cannot make one: no loop could be woken
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    int descriptor() const { return fd_.get(); }
    // Any thread.
    void wake() const;

private:
    UniqueFd fd_;
};

}  // namespace tarnwick
