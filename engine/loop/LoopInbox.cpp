#include "engine/loop/LoopInbox.h"

#include <utility>

namespace tarnwick {

bool LoopInbox::post(ThreadId target, Message message, bool lazily) {
    return push(Entry{Entry::Kind::Message, target, std::move(message), nullptr}, lazily);
}

bool LoopInbox::adopt(ThreadId id, std::unique_ptr<EventHandler> handler,
                      std::vector<Message> waiting, Message first) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        entries_.push_back(Entry{Entry::Kind::Adopt, id, {}, std::move(handler)});
        for (Message& message : waiting) {
            entries_.push_back(Entry{Entry::Kind::Message, id, std::move(message), nullptr});
        }
        entries_.push_back(Entry{Entry::Kind::Message, id, std::move(first), nullptr});
        wake = !std::exchange(wakePending_, true);
        load_.fetch_add(1, std::memory_order_relaxed);
    }
    wakeIfNeeded(wake);
    return true;
}

void LoopInbox::retire(ThreadId target) {
    push(Entry{Entry::Kind::Retire, target, {}, nullptr}, false);
}

void LoopInbox::quit() {
    push(Entry{Entry::Kind::Quit, 0, {}, nullptr}, false);
}

bool LoopInbox::push(Entry entry, bool lazily) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        entries_.push_back(std::move(entry));
        if ((!lazily || entries_.size() >= LAZY_LIMIT) && !wakePending_) {
            wakePending_ = true;
            wake = true;
        }
    }
    wakeIfNeeded(wake);
    return true;
}

// After the lock: the woken loop would only block on it. A push on the loop's own thread
// needs no descriptor write, since the loop asks wakeRequested() before it waits.
void LoopInbox::wakeIfNeeded(bool wanted) {
    if (wanted && std::this_thread::get_id() != loopThread_.load(std::memory_order_relaxed)) {
        waker_.wake();
    }
}

void LoopInbox::attach() {
    loopThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool LoopInbox::wakeRequested() {
    std::lock_guard lock(mutex_);
    return wakePending_;
}

// A push that lands after the swap sees no wake-up pending and asks for a fresh one. A
// wake-up that comes while the loop is busy costs one spare turn of the loop, never a
// message.
void LoopInbox::takeAll(std::vector<Entry>& batch) {
    std::lock_guard lock(mutex_);
    batch.swap(entries_);
    wakePending_ = false;
}

void LoopInbox::close() {
    std::vector<Entry> dropped;  // destroyed after the lock: a dropped worker may post
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(entries_);
    }
}

}  // namespace tarnwick
