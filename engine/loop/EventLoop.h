#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/Ids.h"
#include "engine/loop/EventHandler.h"
#include "engine/loop/IoHandler.h"
#include "engine/loop/LoopInbox.h"
#include "engine/loop/Poller.h"
#include "engine/loop/TimerQueue.h"

namespace tarnwick {

// The event loop of one thread, serving many handlers (workers), each under its id: their
// posted messages, their timers, and the notices of the descriptors they watch (IoWatch),
// one event at a time. A handler stays on its loop for its whole life, so nothing in it
// needs a lock. At most one loop per thread; it is created, run and destroyed on that
// thread, and every method checks so.
//
// One turn of the loop, in this order:
//   1. wait for the watched descriptors and the inbox's waker, until the nearest timer
//      (no time-out when there is none; none at all while something is already due);
//   2. take everything queued in the inbox, in order: place new handlers, hand each
//      message to its handler, end the handlers that retired; a message for an id the
//      loop does not serve is dropped;
//   3. deliver the descriptors' notices: those the wait reported, then those that became
//      deliverable since the last turn without a new edge (a socket that asked for
//      notices it already has cause for, or that did not use up what it was told). A
//      descriptor closed or removed by an earlier handler of the same turn gets nothing,
//      nor does a newer one that reuses its number, and each gets at most one delivery
//      per turn;
//   4. fire the timers that are due, earliest first. Data already waiting is therefore
//      handled before an expiry due at the same moment, and a busy loop still gets its
//      timers.
// Before the first turn, what was queued before run() is taken without waiting.
//
// retire(id) ends a handler the way a worker ends itself: messages queued for it before
// are still handled, then the loop destroys it (when it owns it); from the retire on it
// gets no descriptor notice and no timer expiry, and messages queued after it are dropped.
// quit() does the same for the whole loop: what was queued before it is handled, then
// run() returns; no notice or expiry follows, and later messages are dropped. The
// process's loops never quit; tests' loops do.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Token = Poller::Token;

    explicit EventLoop(std::shared_ptr<LoopInbox> inbox = std::make_shared<LoopInbox>());
    ~EventLoop();  // destroys the handlers it owns; every descriptor must be gone by then
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The loop of the calling thread, or null.
    static EventLoop* current();
    // How other threads reach this loop.
    const std::shared_ptr<LoopInbox>& inbox() const { return inbox_; }

    void run();
    void quit();

    // ---- handlers ----
    // Serves `handler` (not owned: a test's) under `id` from now on.
    void attach(ThreadId id, EventHandler& handler);
    // Queues the end of `id` behind what was posted to it so far (above).
    void retire(ThreadId id);
    // The handler being served now; 0 between handlers.
    ThreadId serving() const { return serving_; }
    std::size_t handlerCount() const { return handlers_.size(); }

    // ---- timers ----
    // A repeating timer whose expiries go to the handler `owner`.
    TimerId setTimer(ThreadId owner, std::chrono::milliseconds interval);
    void killTimer(TimerId id);
    std::size_t timerCount() const { return timers_.size(); }

    // ---- watched descriptors; used by IoWatch ----
    // Watches `fd` for `handler`, on behalf of the handler being served now. 0 when the
    // poll set refuses it (errno says why).
    Token watch(int fd, IoHandler& handler, bool read, bool write);
    // Stops watching; `closing`: the descriptor is about to be closed, which takes it out
    // of the poll set by itself.
    void unwatch(Token token, bool closing);
    bool watching(Token token) const { return find(token) != nullptr; }
    void setInterest(Token token, bool read, bool write);
    // The descriptor has nothing more to read (`shortRead`: a stream read took less than
    // asked, which says the same unless the peer has ended its data).
    void readDrained(Token token, bool shortRead);
    // The descriptor's send buffer is full.
    void writeBlocked(Token token);
    std::size_t socketCount() const { return watchCount_; }

    // How many times the loop has returned from its wait; for tests of idle behaviour.
    std::uint64_t pollCount() const { return pollCount_; }

    void assertInLoopThread() const;

private:
    struct Handler {
        EventHandler* handler;
        std::unique_ptr<EventHandler> owned;  // null for a borrowed one
        bool retiring = false;
    };
    struct Watch {
        IoHandler* handler = nullptr;  // null: the slot is free
        int fd = -1;
        std::uint32_t generation = 0;
        ThreadId owner = 0;
        bool wantRead = false;
        bool wantWrite = false;
        bool readable = false;
        bool writable = false;
        bool hangup = false;
        bool error = false;
        bool peerClosed = false;
        bool closed = false;     // its close notice was delivered
        bool queued = false;     // on pending_
        std::uint64_t turn = 0;  // the last turn it was delivered in
    };
    static constexpr Token WAKER_TOKEN = 0;

    void waitForEvents();
    void handleMessages();
    void take(LoopInbox::Entry& entry);
    void end(ThreadId id);
    void deliverNotices();
    void deliver(Token token);
    void fireTimers();
    bool active(ThreadId owner) const;
    bool hasCause(const Watch& watch) const;
    bool deliverable(const Watch& watch) const;
    void queueIfDeliverable(Token token, Watch& watch);
    Watch* find(Token token);
    const Watch* find(Token token) const;

    std::shared_ptr<LoopInbox> inbox_;
    std::thread::id thread_;
    Poller poller_;
    TimerQueue timers_;
    std::unordered_map<ThreadId, Handler> handlers_;
    ThreadId serving_ = 0;

    std::vector<Watch> watches_;  // by slot: a token is its generation and its slot
    std::vector<std::uint32_t> freeWatches_;
    std::size_t watchCount_ = 0;
    std::vector<Token> pending_;  // deliverable without a new edge, for the next turn
    std::vector<Token> pendingNow_;

    std::vector<LoopInbox::Entry> batch_;  // empty between turns
    std::vector<TimerQueue::Fired> fired_;
    std::uint64_t turn_ = 0;
    std::uint64_t pollCount_ = 0;
    bool quitting_ = false;  // asked to quit: nothing but the queued messages any more
    bool stopping_ = false;  // the quit request was reached: run() returns
};

}  // namespace tarnwick
