#pragma once

#include "engine/loop/Message.h"
#include "engine/loop/TimerQueue.h"

namespace tarnwick {

// What a loop delivers posted messages and timer expiries to: a worker, or a test. Socket
// notices go to the sockets themselves (IoHandler). A loop serves many handlers, each
// under an id of its own, one event at a time.
class EventHandler {
public:
    virtual ~EventHandler() = default;
    virtual void onMessage(const Message& message) = 0;
    virtual void onTimer(TimerId id) = 0;
};

}  // namespace tarnwick
