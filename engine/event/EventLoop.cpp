#include "engine/event/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "engine/event/Socket.h"
#include "engine/event/WakeSignal.h"

namespace tarnwick {

namespace {
thread_local EventLoop* currentLoop = nullptr;
}

EventLoop::EventLoop(std::shared_ptr<LoopInbox> inbox)
    : inbox_(std::move(inbox)), thread_(std::this_thread::get_id()) {
    if (currentLoop != nullptr || !inbox_) {
        std::abort();  // one loop per thread, and it needs an inbox
    }
    currentLoop = this;
    sockets_.reserve(2);  // a session's two, without growing
    WakeSignal::prepareThisThread();
    inbox_->attach();
}

EventLoop::~EventLoop() {
    assertInLoopThread();
    if (!sockets_.empty()) {
        std::abort();  // a socket would be left pointing at a dead loop
    }
    currentLoop = nullptr;
}

EventLoop* EventLoop::current() {
    return currentLoop;
}

void EventLoop::assertInLoopThread() const {
    if (thread_ != std::this_thread::get_id()) {
        std::abort();
    }
}

void EventLoop::run(EventHandler& handler) {
    assertInLoopThread();
    // What was posted before the loop ran is taken at once, without a wait or a wake-up.
    bool quit = handleMessages(handler);
    while (!quit) {
        pollOnce();
        quit = handleMessages(handler);
        if (quit) {
            break;
        }
        handleSockets();
        fireTimers(handler);
    }
    inbox_->close();
}

void EventLoop::quit() {
    assertInLoopThread();
    quitting_ = true;
    inbox_->requestQuit();
}

TimerId EventLoop::setTimer(std::chrono::milliseconds interval) {
    assertInLoopThread();
    return timers_.add(interval, Clock::now());
}

void EventLoop::killTimer(TimerId id) {
    assertInLoopThread();
    timers_.kill(id);
}

void EventLoop::addSocket(Socket& socket, int fd) {
    assertInLoopThread();
    removeSocket(fd);  // a descriptor number names one registration at a time
    sockets_.push_back(Registration{fd, &socket, ++lastSerial_, false});
}

bool EventLoop::holds(int fd, std::uint64_t serial) const {
    return std::any_of(sockets_.begin(), sockets_.end(), [&](const Registration& entry) {
        return entry.fd == fd && entry.serial == serial;
    });
}

void EventLoop::removeSocket(int fd) {
    assertInLoopThread();
    std::erase_if(sockets_, [fd](const Registration& entry) { return entry.fd == fd; });
}

EventLoop::Registration* EventLoop::findSerial(std::uint64_t serial) {
    auto found = std::find_if(sockets_.begin(), sockets_.end(),
                              [serial](const Registration& entry) { return entry.serial == serial; });
    return found == sockets_.end() ? nullptr : &*found;
}

// A socket's token is the serial of its registration. The wait also ends when a message
// is posted (WakeSignal), or was posted since the last turn took the queue.
void EventLoop::pollOnce() {
    poller_.clear();
    for (const Registration& registration : sockets_) {
        if (!registration.closeDelivered) {
            poller_.add(registration.fd, registration.serial, registration.socket->wantsRead(),
                        registration.socket->wantsWrite());
        }
    }
    int timeout = quitting_ ? 0 : timers_.msUntilNext(Clock::now());
    int ready = poller_.wait(timeout, &WakeSignal::waitMask());
    ++pollCount_;
    if (ready < 0 && ready != -ENOMEM) {
        std::abort();  // a bad descriptor in the set: the registry is broken
    }
}

// Returns true when the quit request was reached.
bool EventLoop::handleMessages(EventHandler& handler) {
    inbox_->takeAll(batch_);
    bool quit = false;
    for (LoopInbox::Entry& entry : batch_) {
        if (entry.quit) {
            quit = true;  // whatever follows the request is dropped with the batch
            break;
        }
        handler.onMessage(entry.message);
    }
    batch_.clear();
    return quit;
}

void EventLoop::handleSockets() {
    for (const Poller::Ready& ready : poller_.ready()) {
        if (quitting_) {
            return;
        }
        Registration* registration = findSerial(ready.token);
        if (registration == nullptr) {
            continue;  // closed or detached by an earlier handler of this turn
        }
        bool closed = registration->socket->dispatch(ready.readiness, ready.token);
        registration = findSerial(ready.token);  // the handler may have changed the registry
        if (closed && registration != nullptr) {
            registration->closeDelivered = true;
        }
    }
}

void EventLoop::fireTimers(EventHandler& handler) {
    if (quitting_ || timers_.empty()) {
        return;
    }
    for (TimerId id : timers_.takeDue(Clock::now())) {
        if (quitting_) {
            return;
        }
        if (timers_.alive(id)) {  // an earlier callback may have killed it
            handler.onTimer(id);
        }
    }
}

}  // namespace tarnwick
