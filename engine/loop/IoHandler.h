#pragma once

#include "engine/loop/Readiness.h"

namespace tarnwick {

// What a loop delivers a watched descriptor's notices to (IoWatch): a socket. `ready` holds
// what is known of the descriptor now: readable and writable as last seen and not since
// found drained, a hang-up or an error once it has come. Returns true when it has handled
// the descriptor's end (a close notice), after which the loop delivers it nothing more.
class IoHandler {
public:
    virtual bool onIo(Readiness ready) = 0;

protected:
    ~IoHandler() = default;
};

}  // namespace tarnwick
