#pragma once

#include <cstdint>
#include <memory>

#include "base/ThreadHandle.h"
#include "base/UniqueFd.h"

namespace tarnwick {

// One posted command: a message number and two word-size parameters. A thread handle
// that goes with the message (WM_PORT_STARTED to the owner, WM_SESSION_STARTED to the
// listener) travels in `handle`, never inside lParam: a shared handle squeezed into an
// integer would leak whenever a post fails or a queue is dropped. For the same reason a
// descriptor handed over with a message (a restarting port's socket, for the worker that
// takes the port over) travels in `descriptor`: it is closed with the last copy of the
// message, wherever the message ends.
struct Message {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    ThreadHandle handle;
    std::shared_ptr<UniqueFd> descriptor;
};

}  // namespace tarnwick
