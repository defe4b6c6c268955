#pragma once

#include <pthread.h>
#include <signal.h>

namespace tarnwick {

// How a worker's loop is woken from its wait when a message is posted to it: a signal
// sent to that thread alone, which the thread keeps blocked except inside its wait.
//
// The alternative, an eventfd per loop, costs every session thread a descriptor of its
// own, a third beside its two sockets, plus the calls that open, poll and close it, all
// for a session that is woken at most once, by its listener's stop. A signal costs no
// descriptor and nothing at all until it is sent. It cannot be lost: a signal sent while
// the thread is busy stays pending, since the thread blocks it, and the next wait, which
// unblocks it atomically (ppoll's mask), returns at once.
//
// The signal is SIGRTMIN, the first real-time signal the C library leaves to programs;
// its handler does nothing, and it is only ever sent to a thread that has blocked it.
class WakeSignal {
public:
    // Once per thread before its loop waits (later calls cost nothing): installs the
    // handler for the process, if no thread did yet, and blocks the wake signal and
    // SIGPIPE in the calling thread. A loop's sockets then fail with EPIPE where a peer
    // has gone (splice has no MSG_NOSIGNAL) instead of ending the process.
    static void prepareThisThread();

    // The mask for the calling thread's waits: its own mask without the wake signal.
    // Valid after prepareThisThread on the same thread.
    static const sigset_t& waitMask();

    // Wakes `thread`, which must be alive and prepared.
    static void send(pthread_t thread);
};

}  // namespace tarnwick
