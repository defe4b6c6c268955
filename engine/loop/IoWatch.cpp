#include "engine/loop/IoWatch.h"

#include <cerrno>

#include "engine/loop/EventLoop.h"

namespace tarnwick {

int IoWatch::start(int fd, IoHandler& handler, bool read, bool write) {
    stop(false);
    EventLoop* loop = EventLoop::current();
    if (loop == nullptr) {
        return 0;
    }
    EventLoop::Token token = loop->watch(fd, handler, read, write);
    if (token == 0) {
        return -errno;
    }
    loop_ = loop;
    token_ = token;
    return 0;
}

void IoWatch::stop(bool closing) {
    if (loop_ != nullptr) {
        loop_->unwatch(token_, closing);
        loop_ = nullptr;
        token_ = 0;
    }
}

std::uint64_t IoWatch::serial() const {
    return loop_ != nullptr && loop_->watching(token_) ? token_ : 0;
}

void IoWatch::setInterest(bool read, bool write) {
    if (loop_ != nullptr) {
        loop_->setInterest(token_, read, write);
    }
}

void IoWatch::readDrained(bool shortRead) {
    if (loop_ != nullptr) {
        loop_->readDrained(token_, shortRead);
    }
}

void IoWatch::writeBlocked() {
    if (loop_ != nullptr) {
        loop_->writeBlocked(token_);
    }
}

}  // namespace tarnwick
