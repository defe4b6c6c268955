#include "engine/worker/WorkerInbox.h"

#include <utility>

namespace tarnwick {

bool WorkerInbox::push(Message message, bool lazily) {
    if (closed_.load(std::memory_order_acquire)) {
        return false;
    }
    if (!placed_.load(std::memory_order_acquire)) {
        std::lock_guard lock(mutex_);
        if (!placed_.load(std::memory_order_relaxed)) {
            waiting_.push_back(std::move(message));
            return true;
        }
    }
    // Placed: behind what waited, which the placing handed over under the lock above.
    return loop_->post(id_, std::move(message), lazily);
}

bool WorkerInbox::place(std::shared_ptr<LoopInbox> loop, std::unique_ptr<EventHandler> worker,
                        Message first) {
    std::lock_guard lock(mutex_);
    if (!loop->adopt(id_, std::move(worker), std::move(waiting_), std::move(first))) {
        return false;
    }
    waiting_.clear();
    loop_ = std::move(loop);
    placed_.store(true, std::memory_order_release);
    return true;
}

}  // namespace tarnwick
