#include "engine/loop/EventLoop.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace tarnwick {

namespace {
thread_local EventLoop* currentLoop = nullptr;

constexpr int GENERATION_SHIFT = 32;
}  // namespace

EventLoop::EventLoop(std::shared_ptr<LoopInbox> inbox)
    : inbox_(std::move(inbox)), thread_(std::this_thread::get_id()) {
    if (currentLoop != nullptr || !inbox_) {
        std::abort();  // one loop per thread, and it needs an inbox
    }
    currentLoop = this;
    inbox_->attach();
    if (poller_.add(inbox_->waker().descriptor(), WAKER_TOKEN) != 0) {
        std::abort();
    }
}

EventLoop::~EventLoop() {
    assertInLoopThread();
    inbox_->close();
    // Owned handlers go first: their sockets leave the loop as they close.
    while (!handlers_.empty()) {
        end(handlers_.begin()->first);
    }
    if (watchCount_ != 0) {
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

void EventLoop::run() {
    assertInLoopThread();
    handleMessages();  // what was queued before the loop ran, without a wait
    while (!stopping_) {
        waitForEvents();
        handleMessages();
        deliverNotices();
        fireTimers();
    }
    inbox_->close();
}

void EventLoop::quit() {
    assertInLoopThread();
    quitting_ = true;  // no notice or expiry from now on
    inbox_->quit();
}

// ---- handlers ----

void EventLoop::attach(ThreadId id, EventHandler& handler) {
    assertInLoopThread();
    handlers_[id] = Handler{&handler, nullptr, false};
}

void EventLoop::retire(ThreadId id) {
    assertInLoopThread();
    auto found = handlers_.find(id);
    if (found != handlers_.end() && !found->second.retiring) {
        found->second.retiring = true;
        inbox_->retire(id);
    }
}

bool EventLoop::active(ThreadId owner) const {
    if (owner == 0) {
        return true;  // watched outside any handler (a test's socket)
    }
    auto found = handlers_.find(owner);
    return found != handlers_.end() && !found->second.retiring;
}

// ---- one turn ----

void EventLoop::waitForEvents() {
    int timeout = timers_.msUntilNext(Clock::now());
    if (!pending_.empty() || inbox_->wakeRequested()) {
        timeout = 0;
    }
    int ready = poller_.wait(timeout);
    ++pollCount_;
    ++turn_;
    if (ready < 0) {
        std::abort();  // the poll set itself is broken
    }
}

void EventLoop::handleMessages() {
    inbox_->takeAll(batch_);
    for (LoopInbox::Entry& entry : batch_) {
        if (stopping_) {
            break;
        }
        take(entry);
    }
    batch_.clear();  // dropped messages, and their descriptors, go here
}

void EventLoop::take(LoopInbox::Entry& entry) {
    switch (entry.kind) {
        case LoopInbox::Entry::Kind::Adopt: {
            EventHandler* handler = entry.handler.get();
            handlers_[entry.target] = Handler{handler, std::move(entry.handler), false};
            break;
        }
        case LoopInbox::Entry::Kind::Message: {
            auto found = handlers_.find(entry.target);
            if (found != handlers_.end()) {
                serving_ = entry.target;
                found->second.handler->onMessage(entry.message);
                serving_ = 0;
            }
            break;
        }
        case LoopInbox::Entry::Kind::Retire:
            end(entry.target);
            break;
        case LoopInbox::Entry::Kind::Quit:
            quitting_ = true;
            stopping_ = true;  // the rest of the batch is dropped with it
            break;
    }
}

// The handler leaves the map before it is destroyed, so that nothing its destructor does
// (closing sockets, killing timers) reaches it.
void EventLoop::end(ThreadId id) {
    auto found = handlers_.find(id);
    if (found == handlers_.end()) {
        return;
    }
    std::unique_ptr<EventHandler> owned = std::move(found->second.owned);
    handlers_.erase(found);
    serving_ = id;
    if (owned) {
        owned.reset();
        inbox_->workerEnded();
    }
    serving_ = 0;
}

void EventLoop::deliverNotices() {
    for (const Poller::Event& event : poller_.events()) {
        if (quitting_) {
            return;
        }
        Watch* watch = find(event.token);
        if (watch == nullptr) {
            continue;  // the waker, or a descriptor gone since the wait
        }
        watch->readable |= event.readable;
        watch->writable |= event.writable;
        watch->hangup |= event.hangup;
        watch->error |= event.error;
        watch->peerClosed |= event.peerClosed;
        if (deliverable(*watch)) {
            deliver(event.token);
        }
    }
    pendingNow_.swap(pending_);
    for (Token token : pendingNow_) {
        Watch* watch = find(token);
        if (watch == nullptr) {
            continue;
        }
        watch->queued = false;
        if (quitting_) {
            continue;
        }
        if (watch->turn == turn_) {
            queueIfDeliverable(token, *watch);  // delivered on an edge of this turn already
        } else if (deliverable(*watch)) {
            deliver(token);
        }
    }
    pendingNow_.clear();
}

bool EventLoop::hasCause(const Watch& watch) const {
    return !watch.closed && active(watch.owner) &&
           ((watch.readable && watch.wantRead) || (watch.writable && watch.wantWrite) ||
            watch.hangup || watch.error);
}

bool EventLoop::deliverable(const Watch& watch) const {
    return watch.turn != turn_ && hasCause(watch);
}

void EventLoop::deliver(Token token) {
    Watch* watch = find(token);
    watch->turn = turn_;
    const Readiness ready{watch->readable, watch->writable, watch->hangup, watch->error};
    const ThreadId before = serving_;
    serving_ = watch->owner;
    bool closed = watch->handler->onIo(ready);
    serving_ = before;
    watch = find(token);  // the handler may have closed it, or opened others
    if (watch == nullptr) {
        return;
    }
    if (closed) {
        watch->closed = true;
        return;
    }
    // Nothing will report again what the handler left unused: it comes back next turn.
    queueIfDeliverable(token, *watch);
}

void EventLoop::queueIfDeliverable(Token token, Watch& watch) {
    if (!watch.queued && hasCause(watch)) {
        watch.queued = true;
        pending_.push_back(token);
    }
}

void EventLoop::fireTimers() {
    if (quitting_ || timers_.empty()) {
        return;
    }
    fired_.clear();
    timers_.takeDue(Clock::now(), fired_);
    for (const TimerQueue::Fired& timer : fired_) {
        if (quitting_) {
            return;
        }
        if (!timers_.alive(timer.id)) {
            continue;  // an earlier callback killed it
        }
        auto found = handlers_.find(timer.owner);
        if (found == handlers_.end()) {
            timers_.kill(timer.id);  // its owner has ended
            continue;
        }
        if (found->second.retiring) {
            continue;
        }
        serving_ = timer.owner;
        found->second.handler->onTimer(timer.id);
        serving_ = 0;
    }
}

// ---- timers ----

TimerId EventLoop::setTimer(ThreadId owner, std::chrono::milliseconds interval) {
    assertInLoopThread();
    return timers_.add(interval, Clock::now(), owner);
}

void EventLoop::killTimer(TimerId id) {
    assertInLoopThread();
    timers_.kill(id);
}

// ---- watched descriptors ----

EventLoop::Watch* EventLoop::find(Token token) {
    return const_cast<Watch*>(std::as_const(*this).find(token));
}

const EventLoop::Watch* EventLoop::find(Token token) const {
    const std::size_t slot = token & 0xFFFFFFFFu;
    const auto generation = static_cast<std::uint32_t>(token >> GENERATION_SHIFT);
    if (slot >= watches_.size()) {
        return nullptr;
    }
    const Watch& watch = watches_[slot];
    return watch.handler != nullptr && watch.generation == generation ? &watch : nullptr;
}

EventLoop::Token EventLoop::watch(int fd, IoHandler& handler, bool read, bool write) {
    assertInLoopThread();
    std::uint32_t slot;
    if (!freeWatches_.empty()) {
        slot = freeWatches_.back();
        freeWatches_.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(watches_.size());
        watches_.emplace_back();
    }
    Watch& watch = watches_[slot];
    const std::uint32_t generation = watch.generation + 1 == 0 ? 1 : watch.generation + 1;
    const Token token = (static_cast<Token>(generation) << GENERATION_SHIFT) | slot;
    if (int failed = poller_.add(fd, token); failed != 0) {
        freeWatches_.push_back(slot);
        errno = -failed;
        return 0;
    }
    watch = Watch{};
    watch.handler = &handler;
    watch.fd = fd;
    watch.generation = generation;
    watch.owner = serving_;
    watch.wantRead = read;
    watch.wantWrite = write;
    ++watchCount_;
    return token;
}

void EventLoop::unwatch(Token token, bool closing) {
    assertInLoopThread();
    Watch* watch = find(token);
    if (watch == nullptr) {
        return;
    }
    if (!closing) {
        poller_.remove(watch->fd);
    }
    const std::uint32_t generation = watch->generation;
    *watch = Watch{};
    watch->generation = generation;  // the next token of this slot is a new one
    freeWatches_.push_back(static_cast<std::uint32_t>(token & 0xFFFFFFFFu));
    --watchCount_;
}

void EventLoop::setInterest(Token token, bool read, bool write) {
    Watch* watch = find(token);
    if (watch != nullptr) {
        watch->wantRead = read;
        watch->wantWrite = write;
        queueIfDeliverable(token, *watch);
    }
}

void EventLoop::readDrained(Token token, bool shortRead) {
    Watch* watch = find(token);
    if (watch != nullptr && !(shortRead && watch->peerClosed)) {
        watch->readable = false;
    }
}

void EventLoop::writeBlocked(Token token) {
    Watch* watch = find(token);
    if (watch != nullptr) {
        watch->writable = false;
    }
}

}  // namespace tarnwick
