#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Ids.h"
#include "engine/loop/EventHandler.h"
#include "engine/loop/Message.h"
#include "engine/loop/Waker.h"

namespace tarnwick {

// The queue through which everything reaches a loop from outside its current handler:
// messages for the workers it serves, workers placed on it, and the end of a worker.
// Any thread may push; only the loop thread takes. One queue per loop keeps each sender's
// messages to a worker in the order sent, and a worker's end behind everything posted to
// it before.
//
// A push from another thread wakes the loop (Waker) unless a wake-up is already pending
// for what is queued: one wake-up per batch of posts, not one per message. A push from
// the loop's own thread needs none; the loop looks at the queue before it waits.
//
// The inbox is shared between the loop and whoever posts to it, so it outlives whichever
// lets go first; once closed (its loop has ended) every push fails.
class LoopInbox {
public:
    struct Entry {
        enum class Kind : unsigned char {
            Message,  // `message` for the worker `target`
            Adopt,    // the loop takes `handler` on as `target`
            Retire,   // the worker `target` ends: the loop destroys it
            Quit,     // the loop ends
        };
        Kind kind = Kind::Message;
        ThreadId target = 0;
        Message message;
        std::unique_ptr<EventHandler> handler;
    };

    // Lazy messages queue without a wake-up until this many wait: a listener whose port
    // is quiet still takes the ends of its sessions in batches, and holds no more.
    static constexpr std::size_t LAZY_LIMIT = 64;

    // Queues `message` for `target`; false once the loop has ended. A lazy one wakes
    // nobody: it is taken at the loop's next turn, whatever brings that turn.
    bool post(ThreadId target, Message message, bool lazily = false);
    // Queues, in one go: the worker `id`, everything posted to it before it was placed,
    // and its first message.
    bool adopt(ThreadId id, std::unique_ptr<EventHandler> handler, std::vector<Message> waiting,
               Message first);
    // Loop thread: queues the end of `target` behind everything posted so far.
    void retire(ThreadId target);
    // Queues the end of the loop behind everything posted so far.
    void quit();

    // Loop thread: from now on pushes from this thread need no wake-up.
    void attach();
    const Waker& waker() const { return waker_; }
    // Loop thread: whether a wake-up is pending, so that the loop must not wait.
    bool wakeRequested();
    // Loop thread: swaps everything queued into `batch`, which must be empty (the two
    // vectors trade their storage, so a busy loop allocates nothing).
    void takeAll(std::vector<Entry>& batch);
    // After this, pushes fail, and what is queued is dropped: the loop has ended.
    void close();

    // How many workers the loop serves or is about to (placed and not yet ended): what
    // placing weighs loops by. Any thread; a moment's figure.
    std::size_t load() const { return load_.load(std::memory_order_relaxed); }
    // Loop thread: a worker it served has ended.
    void workerEnded() { load_.fetch_sub(1, std::memory_order_relaxed); }

private:
    bool push(Entry entry, bool lazily);
    void wakeIfNeeded(bool wanted);

    Waker waker_;
    std::atomic<std::thread::id> loopThread_{};  // set once, by attach
    std::atomic<std::size_t> load_{0};
    // A queue lock, one of the engine's few locks; guards the members below it.
    std::mutex mutex_;
    std::vector<Entry> entries_;
    bool wakePending_ = false;  // a wake-up was asked for and its turn has not taken the queue
    bool closed_ = false;
};

}  // namespace tarnwick
