#include "engine/event/ThreadCache.h"

#include <pthread.h>

#include <algorithm>
#include <memory>

namespace tarnwick {

ThreadCache& ThreadCache::instance() {
    // Never destroyed: threads may still wait in it while the process exits.
    static Immortal<ThreadCache> immortal;
    return immortal.object;
}

bool ThreadCache::run(Body body, void* argument, std::size_t stackSize) {
    std::shared_ptr<Slot> slot;
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            slot = std::move(idle_.back());
            idle_.pop_back();
            slot->body = body;
            slot->argument = argument;
        }
    }
    if (!slot) {
        return startThread(body, argument, stackSize);
    }
    // After the lock: a thread woken under it would only block on it again. The slot
    // lives on here even if its thread has already done the work and exited.
    slot->wake.notify_one();
    return true;
}

bool ThreadCache::startThread(Body body, void* argument, std::size_t stackSize) {
    auto slot = std::make_unique<std::shared_ptr<Slot>>(std::make_shared<Slot>());
    (*slot)->body = body;
    (*slot)->argument = argument;
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) {
        return false;
    }
    ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    ::pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread;
    int created = ::pthread_create(&thread, &attributes, &ThreadCache::threadMain, slot.get());
    ::pthread_attr_destroy(&attributes);
    if (created != 0) {
        return false;
    }
    slot.release();  // the thread owns it now
    return true;
}

void* ThreadCache::threadMain(void* handedOver) {
    std::shared_ptr<Slot> slot = std::move(*std::unique_ptr<std::shared_ptr<Slot>>(
        static_cast<std::shared_ptr<Slot>*>(handedOver)));
    do {
        Body body = slot->body;
        void* argument = slot->argument;
        body(argument);
    } while (instance().waitForWork(slot));
    return nullptr;
}

// Lists the slot and waits for the next body. False when the thread should exit instead:
// enough threads wait already, or none was needed for IDLE_TIMEOUT.
bool ThreadCache::waitForWork(const std::shared_ptr<Slot>& slot) {
    std::unique_lock lock(mutex_);
    if (idle_.size() >= MAX_IDLE) {
        return false;
    }
    slot->body = nullptr;
    idle_.push_back(slot);
    if (slot->wake.wait_for(lock, IDLE_TIMEOUT, [&slot] { return slot->body != nullptr; })) {
        return true;  // run() took the slot off the list
    }
    idle_.erase(std::find(idle_.begin(), idle_.end(), slot));
    return false;
}

}  // namespace tarnwick
