#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "engine/event/EventHandler.h"
#include "engine/event/LoopInbox.h"
#include "engine/event/Poller.h"
#include "engine/event/TimerList.h"

namespace tarnwick {

class Socket;

// The event loop of one thread: posted messages, notices of the sockets registered with
// it, and its timers, handled one at a time. At most one loop per thread; it must be
// created, run and destroyed on that thread, and every method but the constructor
// checks so. Sockets register themselves (Socket::Create, Accept, Attach) with the loop
// of the thread they are used on, `EventLoop::current()`.
//
// One turn of the loop, in this order:
//   1. poll the registered sockets, for the notices each socket asks for, with a time-out
//      that reaches the nearest timer (no time-out when there is none); a message posted
//      to the loop ends the wait (LoopInbox, WakeSignal);
//   2. handle every message posted so far, in the order posted;
//   3. deliver the socket notices of that poll (Socket::dispatch): readable, then
//      writable, then a hang-up or error that came without data as a close, once.
//      A socket is looked up again just before its notices, so one closed or detached by
//      an earlier handler of the same turn gets nothing, nor does a newer socket that
//      reuses its descriptor;
//   4. fire the timers that are due, earliest first. Data already waiting is therefore
//      handled before an expiry due at the same moment, and a busy loop still gets its
//      timers.
// Before the first turn, the messages posted before run() are handled without waiting.
// quit() queues a quit request behind the messages posted so far: those are still
// handled, then run() returns; no socket notice or timer expiry is delivered after the
// request, and messages posted after it are dropped.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    explicit EventLoop(std::shared_ptr<LoopInbox> inbox);
    ~EventLoop();  // all sockets must have left the loop by now
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The loop of the calling thread, or null.
    static EventLoop* current();

    void run(EventHandler& handler);
    void quit();

    TimerId setTimer(std::chrono::milliseconds interval);
    void killTimer(TimerId id);

    // Socket registry; used by Socket. The loop does not own the sockets, and asks each
    // one at every poll which notices it wants. Each registration has a serial of its own,
    // never reused: holds() tells whether a registration still lasts.
    void addSocket(Socket& socket, int fd);
    void removeSocket(int fd);
    bool holds(int fd, std::uint64_t serial) const;
    std::size_t socketCount() const { return sockets_.size(); }

    // How many times the loop has returned from poll; for tests of idle behaviour.
    std::uint64_t pollCount() const { return pollCount_; }

    void assertInLoopThread() const;

private:
    // A loop holds a handful of sockets (a session two, a listener one), so they are kept
    // in a short list, searched in place, rather than in a hash table.
    struct Registration {
        int fd;
        Socket* socket;  // does not own
        std::uint64_t serial;  // also its token in the poll set
        bool closeDelivered;  // OnClose ran; the socket is no longer polled
    };

    void pollOnce();
    bool handleMessages(EventHandler& handler);
    void handleSockets();
    void fireTimers(EventHandler& handler);

    std::shared_ptr<LoopInbox> inbox_;
    std::thread::id thread_;
    Poller poller_;
    TimerList timers_;
    std::vector<LoopInbox::Entry> batch_;  // the messages being handled; empty between turns
    Registration* findSerial(std::uint64_t serial);

    std::vector<Registration> sockets_;
    std::uint64_t lastSerial_ = 0;
    std::uint64_t pollCount_ = 0;
    bool quitting_ = false;
};

}  // namespace tarnwick
