#include "event/LoopInbox.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace tarnwick {

LoopInbox::LoopInbox() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

bool LoopInbox::deliver(Message message) {
    return push(Entry{std::move(message), false});
}

bool LoopInbox::deliverLazily(Message message) {
    return push(Entry{std::move(message), false}, false);
}

void LoopInbox::requestQuit() {
    push(Entry{Message{}, true});
}

void LoopInbox::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    entries_.clear();
}

bool LoopInbox::push(Entry entry, bool wakeLoop) {
    bool mustWake = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        entries_.push_back(std::move(entry));
        mustWake = wakeLoop && !wakePending_;
        wakePending_ = wakePending_ || wakeLoop;
    }
    if (mustWake) {
        wake();
    }
    return true;
}

void LoopInbox::takeAll(bool woken, std::vector<Entry>& batch) {
    // Drain first, then swap: a post that lands in between either is in the swapped-out
    // batch or, seeing no wake-up pending, writes a fresh one. A wake-up that was not
    // seen stays in the descriptor and costs one spare turn of the loop, never a message.
    if (woken) {
        drainWake();
    }
    std::lock_guard lock(mutex_);
    batch.swap(entries_);
    wakePending_ = false;
}

void LoopInbox::wake() {
    if (!valid()) {
        return;  // nobody will ever poll it
    }
    const std::uint64_t one = 1;
    while (::write(wakeFd_.get(), &one, sizeof one) < 0) {
        if (errno == EAGAIN) {
            return;  // the counter is full: the loop is woken anyway
        }
        if (errno != EINTR) {
            std::abort();
        }
    }
}

void LoopInbox::drainWake() {
    std::uint64_t count = 0;
    while (::read(wakeFd_.get(), &count, sizeof count) < 0) {
        if (errno == EAGAIN) {
            return;  // nothing pending
        }
        if (errno != EINTR) {
            std::abort();
        }
    }
}

}  // namespace tarnwick
