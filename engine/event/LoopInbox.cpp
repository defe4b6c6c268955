#include "engine/event/LoopInbox.h"

#include <utility>

#include "engine/event/WakeSignal.h"

namespace tarnwick {

bool LoopInbox::deliver(Message message) {
    return push(Entry{std::move(message), false}, true);
}

bool LoopInbox::deliverLazily(Message message) {
    return push(Entry{std::move(message), false}, false);
}

// Only the loop thread asks, and its next wait does not block once it has asked.
void LoopInbox::requestQuit() {
    push(Entry{Message{}, true}, false);
}

void LoopInbox::attach() {
    std::lock_guard lock(mutex_);
    loopThread_ = ::pthread_self();
    attached_ = true;
}

void LoopInbox::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;  // and push, which checks it first, signals nobody from now on
    entries_.clear();
}

bool LoopInbox::push(Entry entry, bool urgent) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        return false;
    }
    entries_.push_back(std::move(entry));
    bool wake = urgent || entries_.size() >= LAZY_LIMIT;
    if (wake && attached_ && !wakePending_) {
        wakePending_ = true;
        WakeSignal::send(loopThread_);
    }
    return true;
}

// A post that lands after the swap sees no wake-up pending and sends a fresh one. A
// wake-up that arrives while the loop is busy stays pending and costs one spare turn of
// the loop, never a message.
void LoopInbox::takeAll(std::vector<Entry>& batch) {
    std::lock_guard lock(mutex_);
    batch.swap(entries_);
    wakePending_ = false;
}

}  // namespace tarnwick
