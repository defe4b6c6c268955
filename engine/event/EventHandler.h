#pragma once

#include "engine/event/Message.h"
#include "engine/event/TimerList.h"

namespace tarnwick {

// What a loop delivers posted messages and timer expiries to (a worker thread, or a
// test). Socket notices go to the socket objects themselves.
class EventHandler {
public:
    virtual ~EventHandler() = default;
    virtual void onMessage(const Message& message) = 0;
    virtual void onTimer(TimerId id) = 0;
};

}  // namespace tarnwick
