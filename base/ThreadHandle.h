#pragma once

#include <chrono>
#include <memory>

#include "base/Ids.h"

namespace tarnwick {

// A waitable handle on a worker thread: any thread may wait, with a time-out, until the
// worker has finished. Copies share one state, so the handle stays valid for waiting
// after the worker object itself is gone. A default-constructed handle is null.
class ThreadHandle {
public:
    ThreadHandle() = default;

    // A fresh handle for a worker that has not finished yet.
    static ThreadHandle create();

    explicit operator bool() const { return state_ != nullptr; }

    // Waits until the worker has finished or the time-out has passed. Returns true when
    // the worker has finished; a null handle has nothing to wait for and returns true.
    bool wait(std::chrono::milliseconds timeout) const;
    bool finished() const;

    // Called once by the worker when its loop has ended; wakes every waiter.
    void markFinished() const;

    friend bool operator==(const ThreadHandle& a, const ThreadHandle& b) {
        return a.state_ == b.state_;
    }

private:
    struct State;
    explicit ThreadHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::shared_ptr<State> state_;
};

}  // namespace tarnwick
