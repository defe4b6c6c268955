#pragma once

#include <pthread.h>

#include <cstddef>
#include <mutex>
#include <vector>

#include "engine/event/Message.h"
#include "engine/event/MessageSink.h"

namespace tarnwick {

// The posted-message queue of one worker loop. Any thread may deliver; only the loop
// thread takes. A delivery wakes the loop's wait with WakeSignal once the loop has
// attached: before that, the loop's first turn takes what is queued without waiting.
// The inbox is shared between the loop and the thread registry, so it outlives whichever
// of the two lets go first; the loop thread is signalled only under the queue lock and
// only while the loop has not closed the inbox, so never after the loop has ended.
class LoopInbox : public MessageSink {
public:
    // One queued item: a message, or the loop's quit request.
    struct Entry {
        Message message;
        bool quit = false;
    };

    // Lazy messages queue without a wake-up until this many wait: a listener whose port
    // is quiet still takes the ends of its sessions in batches, and holds no more.
    static constexpr std::size_t LAZY_LIMIT = 64;

    bool deliver(Message message) override;
    // Queues without a wake-up: the message is taken at the loop's next turn.
    bool deliverLazily(Message message) override;
    // Loop thread: queues the quit request behind everything posted so far.
    void requestQuit();

    // Loop thread: from now on deliveries wake this thread.
    void attach();
    // After this, deliveries fail: the loop has ended and nobody will take them.
    void close();

    // Loop thread: swaps everything queued into `batch`, which must be empty (the two
    // vectors trade their storage, so a busy loop allocates nothing).
    void takeAll(std::vector<Entry>& batch);

private:
    bool push(Entry entry, bool urgent);

    // A queue lock, one of the five kinds of lock in the engine; guards the members
    // below it.
    std::mutex mutex_;
    std::vector<Entry> entries_;
    pthread_t loopThread_{};
    bool attached_ = false;
    bool wakePending_ = false;  // a wake-up was sent and its turn has not taken the queue
    bool closed_ = false;
};

}  // namespace tarnwick
