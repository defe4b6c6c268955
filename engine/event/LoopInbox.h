#pragma once

#include <mutex>
#include <vector>

#include "event/Message.h"
#include "event/MessageSink.h"
#include "base/UniqueFd.h"

namespace tarnwick {

// The posted-message queue of one worker loop, with the eventfd that wakes the loop's
// poll when something arrives. Any thread may deliver; only the loop thread takes. It
// is shared between the loop and the thread registry, so it outlives whichever of the
// two lets go first, and the eventfd is never closed under a posting thread.
class LoopInbox : public MessageSink {
public:
    // One queued item: a message, or the loop's quit request.
    struct Entry {
        Message message;
        bool quit = false;
    };

    LoopInbox();
    // False when no eventfd could be had (the process is out of descriptors): messages
    // still queue, but no loop can run on this inbox.
    bool valid() const { return wakeFd_.valid(); }

    bool deliver(Message message) override;
    // Queues without writing the wake-up: the message is taken at the loop's next turn.
    bool deliverLazily(Message message) override;
    // Queues the quit request behind everything posted so far.
    void requestQuit();
    // After this, deliveries fail: the loop has ended and nobody will take them.
    void close();

    // The descriptor that polls readable while a wake-up is pending.
    int wakeFd() const { return wakeFd_.get(); }

    // Loop thread: swaps everything queued into `batch`, which must be empty (the two
    // vectors trade their storage, so a busy loop allocates nothing). `woken` says the
    // wake descriptor polled readable; the wake-up is then consumed first.
    void takeAll(bool woken, std::vector<Entry>& batch);

private:
    bool push(Entry entry, bool wakeLoop = true);
    void wake();
    void drainWake();

    UniqueFd wakeFd_;
    // A queue lock, one of the four kinds of lock in the engine; guards the members
    // below it.
    std::mutex mutex_;
    std::vector<Entry> entries_;
    bool wakePending_ = false;  // a wake-up was written and not yet consumed
    bool closed_ = false;
};

}  // namespace tarnwick
