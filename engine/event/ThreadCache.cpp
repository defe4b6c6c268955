#include "event/ThreadCache.h"

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
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            Slot* slot = idle_.back();
            idle_.pop_back();
            slot->body = body;
            slot->argument = argument;
            // Under the lock: the thread cannot see its work, finish it and exit (freeing
            // the slot) before this call is done with the slot.
            slot->wake.notify_one();
            return true;
        }
    }
    return startThread(body, argument, stackSize);
}

bool ThreadCache::startThread(Body body, void* argument, std::size_t stackSize) {
    auto slot = std::make_unique<Slot>();
    slot->body = body;
    slot->argument = argument;
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

void* ThreadCache::threadMain(void* slotPointer) {
    std::unique_ptr<Slot> slot(static_cast<Slot*>(slotPointer));
    do {
        Body body = slot->body;
        void* argument = slot->argument;
        body(argument);
    } while (instance().waitForWork(*slot));
    return nullptr;
}

// Lists the slot and waits for the next body. False when the thread should exit instead:
// enough threads wait already, or none was needed for IDLE_TIMEOUT.
bool ThreadCache::waitForWork(Slot& slot) {
    std::unique_lock lock(mutex_);
    if (idle_.size() >= MAX_IDLE) {
        return false;
    }
    slot.body = nullptr;
    idle_.push_back(&slot);
    if (slot.wake.wait_for(lock, IDLE_TIMEOUT, [&slot] { return slot.body != nullptr; })) {
        return true;  // run() took the slot off the list
    }
    idle_.erase(std::find(idle_.begin(), idle_.end(), &slot));
    return false;
}

}  // namespace tarnwick
