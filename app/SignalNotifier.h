#pragma once

#include <QObject>

#include "base/UniqueFd.h"

class QSocketNotifier;

namespace tarnwick {

// Delivers SIGINT, SIGTERM and SIGHUP as a Qt signal on the thread of the event loop,
// through a signalfd, instead of interrupting whatever runs.
class SignalNotifier : public QObject {
    Q_OBJECT

public:
    // Blocks the three signals in this thread and in every thread started after it, so
    // that they arrive only through the notifier. Call before any other thread exists.
    static void BlockSignals();

    explicit SignalNotifier(QObject* parent = nullptr);
    ~SignalNotifier() override;

    // False when the descriptor could not be made; then no signal is delivered.
    bool isValid() const { return descriptor_.valid(); }

signals:
    void received(int signalNumber);

private:
    void readSignals();

    UniqueFd descriptor_;
    QSocketNotifier* notifier_ = nullptr;  // owned by this object's Qt children
};

}  // namespace tarnwick
