#pragma once

#include <cstdint>

#include "engine/loop/IoHandler.h"

namespace tarnwick {

class EventLoop;

// One descriptor watched by the loop of the thread that started the watch, for an
// IoHandler (a socket), on behalf of the worker being served at the time. The watch tells
// its loop when the handler's interest changes, and when a read or a send found the
// descriptor used up: the loop is told of each change once (edge-triggered) and keeps
// the rest itself, so it never has to ask a socket what it wants.
//
// Without a loop on the thread (a socket used from a plain thread, in tests) nothing is
// watched and every call does nothing. Not copyable; the owner stops the watch before its
// descriptor goes.
class IoWatch {
public:
    IoWatch() = default;
    ~IoWatch() { stop(false); }
    IoWatch(const IoWatch&) = delete;
    IoWatch& operator=(const IoWatch&) = delete;

    // Starts watching `fd` for `handler`; 0, or -errno when the loop's poll set refuses
    // it. Succeeds without watching when the thread has no loop.
    int start(int fd, IoHandler& handler, bool read, bool write);
    // Stops watching. `closing`: the descriptor is about to be closed, which takes it out
    // of the poll set by itself; else it stays open (handed to another thread).
    void stop(bool closing);

    // This start of the watch, as long as it lasts; 0 when nothing is watched. A new start
    // has a new serial.
    std::uint64_t serial() const;

    void setInterest(bool read, bool write);
    // A read found nothing (`shortRead`: a stream read took less than asked).
    void readDrained(bool shortRead = false);
    // A send could not take everything.
    void writeBlocked();

private:
    EventLoop* loop_ = nullptr;  // does not own; set while watching
    std::uint64_t token_ = 0;
};

}  // namespace tarnwick
