#pragma once

#include "base/ThreadHandle.h"

namespace tarnwick {

// A live worker as seen by whoever started it and may have to stop it: its handle, to
// wait on, and its id, to post to. Kept by the port controller for its listeners and UDP
// relays. (A TCP listener keeps only its sessions' ids: it never waits on them.)
struct WorkerEntry {
    ThreadHandle threadHandle;
    ThreadId threadId = 0;
};

}  // namespace tarnwick
