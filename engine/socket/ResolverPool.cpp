#include "engine/socket/ResolverPool.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>
#include <utility>

#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {

ResolverPool& ResolverPool::instance() {
    // Never destroyed: a lookup may still be running while the process exits.
    static Immortal<ResolverPool> immortal;
    return immortal.object;
}

std::shared_ptr<NameLookup> ResolverPool::lookUp(std::string host, int port, ThreadId replyTo,
                                                 std::uint32_t message, std::uintptr_t tag) {
    std::shared_ptr<NameLookup> lookup = NewLookup(std::move(host), port, replyTo, message, tag);
    bool startThread = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(lookup);
        if (idle_ == 0 && threads_ < MAX_THREADS) {
            ++threads_;
            startThread = true;
        }
    }
    if (startThread) {
        try {
            std::thread(&ResolverPool::serve, this).detach();
        } catch (const std::system_error&) {
            std::lock_guard lock(mutex_);
            --threads_;  // the threads there are take the lookup; with none it waits for one
        }
    } else {
        arrived_.notify_one();
    }
    return lookup;
}

// The next lookup that somebody still wants, waiting up to IDLE_TIMEOUT; null when the
// thread should end.
std::shared_ptr<NameLookup> ResolverPool::next() {
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!queue_.empty()) {
            std::shared_ptr<NameLookup> lookup = std::move(queue_.front());
            queue_.pop_front();
            if (!lookup->abandoned.load(std::memory_order_acquire)) {
                return lookup;
            }
        }
        ++idle_;
        bool arrived = arrived_.wait_for(lock, IDLE_TIMEOUT, [this] { return !queue_.empty(); });
        --idle_;
        if (!arrived) {
            --threads_;
            return nullptr;
        }
    }
}

// A lookup thread; its signals stay with the process's other threads.
void ResolverPool::serve() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    ::pthread_setname_np(::pthread_self(), "tw-resolver");
    while (std::shared_ptr<NameLookup> lookup = next()) {
        lookup->addresses = SocketAddress::Resolve(lookup->host, lookup->port, &lookup->failure);
        // The post orders the addresses before the worker's read of them.
        PostThreadMessage(lookup->replyTo, lookup->message, lookup->tag);
    }
}

}  // namespace tarnwick
