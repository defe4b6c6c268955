#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "base/ThreadHandle.h"
#include "engine/loop/Message.h"

namespace tarnwick {

// A queue of posted messages for a thread that runs no worker loop: the window that
// receives a port's notices (`ownerWindow`), the headless controller, or a test. It is
// registered in the thread registry for as long as the object lives, so workers post to
// its id exactly as they post to each other.
class Mailbox {
public:
    using Clock = std::chrono::steady_clock;
    using Notifier = std::function<void()>;

    Mailbox();
    ~Mailbox();  // unregisters the id; messages still queued are dropped
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    MailboxId id() const { return id_; }

    // The oldest message, if any, without waiting.
    std::optional<Message> tryTake();
    // The oldest message, waiting until one arrives or the deadline passes.
    std::optional<Message> waitFor(Clock::time_point deadline);
    std::optional<Message> waitFor(std::chrono::milliseconds timeout) {
        return waitFor(Clock::now() + timeout);
    }

    // Called after every message that arrives, on the posting thread, with no lock held:
    // it should only wake the receiving thread (a GUI event loop, say) and return. Set it
    // before handing out the id.
    void setNotifier(Notifier notifier);

private:
    class Queue;
    std::shared_ptr<Queue> queue_;
    MailboxId id_ = 0;
};

}  // namespace tarnwick
