#pragma once

#include "event/Message.h"

namespace tarnwick {

// Whatever the thread registry can deliver a posted message to: a worker's queue or a
// mailbox. `deliver` may be called from any thread; it returns false when the receiver
// has ended and will never see the message.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual bool deliver(Message message) = 0;
};

}  // namespace tarnwick
