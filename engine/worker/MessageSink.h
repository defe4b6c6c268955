#pragma once

#include <utility>

#include "engine/loop/Message.h"

namespace tarnwick {

// Whatever the thread registry can deliver a posted message to: a worker's queue or a
// mailbox. `deliver` may be called from any thread; it returns false when the receiver
// has ended and will never see the message.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual bool deliver(Message message) = 0;
    // The same for a message that may wait: a receiver that has to be woken for it (a
    // worker loop) queues it for its next turn instead, whatever else brings that turn.
    virtual bool deliverLazily(Message message) { return deliver(std::move(message)); }
};

}  // namespace tarnwick
