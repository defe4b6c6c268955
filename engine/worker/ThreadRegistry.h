#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

#include "base/Immortal.h"
#include "base/ThreadHandle.h"
#include "engine/loop/Message.h"
#include "engine/worker/MessageSink.h"

namespace tarnwick {

// The process-wide map from thread and mailbox ids to their queues. Ids come from one
// counter that starts at 1 and never hands out an id twice, so a post to a thread that
// has ended can never reach a newer one by mistake. Safe to call from any thread.
class ThreadRegistry {
public:
    static ThreadRegistry& instance();

    // Registers a receiver and returns its new id.
    ThreadId add(std::shared_ptr<MessageSink> sink);
    // Forgets an id; later posts to it fail. Unknown ids are ignored.
    void remove(ThreadId id);

    // Hands the message to the receiver registered under `id`. Returns false, and does
    // nothing else, for id 0, an unknown id or a receiver that has ended.
    bool post(ThreadId id, Message message);
    // The same through MessageSink::deliverLazily: the receiver sees it at its next turn.
    bool postLazily(ThreadId id, Message message);

    ThreadRegistry(const ThreadRegistry&) = delete;
    ThreadRegistry& operator=(const ThreadRegistry&) = delete;

private:
    friend union Immortal<ThreadRegistry>;  // builds the one instance
    ThreadRegistry() = default;
    std::shared_ptr<MessageSink> find(ThreadId id);

    // The registry's lock, one of the engine's few (docs/DESIGN.md lists them). It guards
    // the map and the counter only; delivery happens after it is released.
    std::mutex mutex_;
    ThreadId lastId_ = 0;
    std::unordered_map<ThreadId, std::shared_ptr<MessageSink>> sinks_;
};

// Shorthand for ThreadRegistry::instance().post(...).
bool PostThreadMessage(ThreadId id, std::uint32_t message, std::uintptr_t wParam = 0,
                       std::intptr_t lParam = 0, ThreadHandle handle = {});
// For bookkeeping that can wait: queued without waking the receiving loop, which takes it
// with whatever it handles next (a stop request included, which comes behind it).
bool PostThreadMessageLazily(ThreadId id, std::uint32_t message, std::uintptr_t wParam = 0,
                             std::intptr_t lParam = 0, ThreadHandle handle = {});

}  // namespace tarnwick
