#pragma once

#include <QObject>

#include <functional>
#include <memory>

#include "engine/worker/Mailbox.h"

namespace tarnwick {

// A mailbox whose messages are handled on the thread of a Qt event loop: workers post to
// `id()` from their own threads, and `handler` runs on the thread that owns this object,
// one message at a time, in the order posted.
class MailboxPump : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(const Message&)>;

    explicit MailboxPump(Handler handler, QObject* parent = nullptr);
    ~MailboxPump() override;

    MailboxId id() const { return mailbox_.id(); }

    // Handles every message that has arrived so far.
    void drain();

private:
    // Shared with the mailbox's notifier, which may still run on a worker's thread while
    // this object is being destroyed; the lock makes the two never overlap.
    struct WakeTarget;

    std::shared_ptr<WakeTarget> wakeTarget_;
    Mailbox mailbox_;
    Handler handler_;
};

}  // namespace tarnwick
