#include "qtcore/MailboxPump.h"

#include <QMetaObject>

#include <atomic>
#include <mutex>

namespace tarnwick {

struct MailboxPump::WakeTarget {
    std::mutex mutex;
    MailboxPump* pump = nullptr;  // does not own; null once the pump is going away
    std::atomic<bool> wakePending{false};

    // On the posting thread: queue one drain on the pump's thread, unless one is queued.
    void wake() {
        if (wakePending.exchange(true)) {
            return;
        }
        std::lock_guard lock(mutex);
        if (pump != nullptr) {
            QMetaObject::invokeMethod(pump, &MailboxPump::drain, Qt::QueuedConnection);
        }
    }
};

MailboxPump::MailboxPump(Handler handler, QObject* parent)
    : QObject(parent), wakeTarget_(std::make_shared<WakeTarget>()), handler_(std::move(handler)) {
    wakeTarget_->pump = this;
    mailbox_.setNotifier([target = wakeTarget_] { target->wake(); });
}

MailboxPump::~MailboxPump() {
    mailbox_.setNotifier({});
    std::lock_guard lock(wakeTarget_->mutex);
    wakeTarget_->pump = nullptr;
}

void MailboxPump::drain() {
    // Cleared before taking, so a message that arrives meanwhile queues another drain.
    wakeTarget_->wakePending = false;
    while (std::optional<Message> message = mailbox_.tryTake()) {
        handler_(*message);
    }
}

}  // namespace tarnwick
