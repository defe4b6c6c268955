#include "engine/worker/Mailbox.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "engine/worker/MessageSink.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {

// The mailbox's queue, shared with the registry so that a post racing with the
// mailbox's destruction still has a live object to deliver to.
class Mailbox::Queue : public MessageSink {
public:
    bool deliver(Message message) override {
        Notifier notifier;
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(std::move(message));
            notifier = notifier_;
        }
        arrived_.notify_one();
        if (notifier) {
            notifier();
        }
        return true;
    }

    std::optional<Message> take(Clock::time_point deadline, bool wait) {
        std::unique_lock lock(mutex_);
        if (wait) {
            arrived_.wait_until(lock, deadline, [this] { return !messages_.empty(); });
        }
        if (messages_.empty()) {
            return std::nullopt;
        }
        Message message = std::move(messages_.front());
        messages_.pop_front();
        return message;
    }

    void setNotifier(Notifier notifier) {
        std::lock_guard lock(mutex_);
        notifier_ = std::move(notifier);
    }

private:
    // A queue lock, one of the engine's few locks; guards the messages and
    // the notifier.
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Message> messages_;
    Notifier notifier_;
};

Mailbox::Mailbox()
    : queue_(std::make_shared<Queue>()), id_(ThreadRegistry::instance().add(queue_)) {}

Mailbox::~Mailbox() {
    ThreadRegistry::instance().remove(id_);
}

std::optional<Message> Mailbox::tryTake() {
    return queue_->take(Clock::now(), false);
}

std::optional<Message> Mailbox::waitFor(Clock::time_point deadline) {
    return queue_->take(deadline, true);
}

void Mailbox::setNotifier(Notifier notifier) {
    queue_->setNotifier(std::move(notifier));
}

}  // namespace tarnwick
