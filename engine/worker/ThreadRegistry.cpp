#include "engine/worker/ThreadRegistry.h"

#include <cstdlib>
#include <limits>
#include <utility>

namespace tarnwick {

ThreadRegistry& ThreadRegistry::instance() {
    // Never destroyed: a worker that outlived its shut-down wait may still post while the
    // process exits, and must not find the registry gone.
    static Immortal<ThreadRegistry> immortal;
    return immortal.object;
}

ThreadId ThreadRegistry::add(std::shared_ptr<MessageSink> sink) {
    std::lock_guard lock(mutex_);
    if (lastId_ == std::numeric_limits<ThreadId>::max()) {
        std::abort();  // four billion ids used up: reusing one would misdeliver posts
    }
    ThreadId id = ++lastId_;
    sinks_.emplace(id, std::move(sink));
    return id;
}

void ThreadRegistry::remove(ThreadId id) {
    std::shared_ptr<MessageSink> removed;  // released after the lock, outside it
    std::lock_guard lock(mutex_);
    auto found = sinks_.find(id);
    if (found != sinks_.end()) {
        removed = std::move(found->second);
        sinks_.erase(found);
    }
}

std::shared_ptr<MessageSink> ThreadRegistry::find(ThreadId id) {
    std::lock_guard lock(mutex_);
    auto found = sinks_.find(id);
    return found == sinks_.end() ? nullptr : found->second;
}

bool ThreadRegistry::post(ThreadId id, Message message) {
    std::shared_ptr<MessageSink> sink = find(id);
    return sink && sink->deliver(std::move(message));
}

bool ThreadRegistry::postLazily(ThreadId id, Message message) {
    std::shared_ptr<MessageSink> sink = find(id);
    return sink && sink->deliverLazily(std::move(message));
}

bool PostThreadMessage(ThreadId id, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam, ThreadHandle handle) {
    return ThreadRegistry::instance().post(id, Message{message, wParam, lParam, std::move(handle)});
}

bool PostThreadMessageLazily(ThreadId id, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam, ThreadHandle handle) {
    return ThreadRegistry::instance().postLazily(
        id, Message{message, wParam, lParam, std::move(handle)});
}

}  // namespace tarnwick
