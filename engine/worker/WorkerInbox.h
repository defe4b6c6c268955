#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Ids.h"
#include "engine/loop/EventHandler.h"
#include "engine/loop/LoopInbox.h"
#include "engine/worker/MessageSink.h"

namespace tarnwick {

// Where the thread registry delivers a worker's messages. Until the worker is placed on a
// loop they wait here; placing hands them, in order, to the loop's inbox ahead of the
// worker's first message, and from then on every message goes straight to that inbox,
// addressed to the worker. Once the worker has ended, deliveries fail. Internal to
// engine/worker.
class WorkerInbox final : public MessageSink {
public:
    // The worker's id, once the registry has given it; before the worker is placed.
    void setId(ThreadId id) { id_ = id; }

    bool deliver(Message message) override { return push(std::move(message), false); }
    bool deliverLazily(Message message) override { return push(std::move(message), true); }

    // Gives the worker to `loop`, with what waits for it and then `first`. False, with
    // nothing handed over, when the loop has ended.
    bool place(std::shared_ptr<LoopInbox> loop, std::unique_ptr<EventHandler> worker,
               Message first);
    void close() { closed_.store(true, std::memory_order_release); }

private:
    bool push(Message message, bool lazily);

    ThreadId id_ = 0;
    std::atomic<bool> placed_{false};
    std::atomic<bool> closed_{false};
    // A queue lock, one of the engine's few, taken only until the worker is placed;
    // guards the two members below.
    std::mutex mutex_;
    std::vector<Message> waiting_;
    std::shared_ptr<LoopInbox> loop_;  // set once, before placed_, then only read
};

}  // namespace tarnwick
