#include "base/ThreadHandle.h"

#include <condition_variable>
#include <mutex>

namespace tarnwick {

// The handle's wait state: one of the engine's few locks.
struct ThreadHandle::State {
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;  // guarded by mutex
};

ThreadHandle ThreadHandle::create() { return ThreadHandle(std::make_shared<State>()); }

bool ThreadHandle::wait(std::chrono::milliseconds timeout) const {
    if (!state_) {
        return true;
    }
    std::unique_lock lock(state_->mutex);
    return state_->finishedChanged.wait_for(lock, timeout, [this] { return state_->finished; });
}

bool ThreadHandle::finished() const {
    if (!state_) {
        return true;
    }
    std::lock_guard lock(state_->mutex);
    return state_->finished;
}

void ThreadHandle::markFinished() const {
    if (!state_) {
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->finished = true;
    }
    state_->finishedChanged.notify_all();
}

}  // namespace tarnwick
