#include "app/SignalNotifier.h"

#include <QSocketNotifier>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace tarnwick {

namespace {

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void SignalNotifier::BlockSignals() {
    sigset_t set = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalNotifier::SignalNotifier(QObject* parent) : QObject(parent) {
    sigset_t set = HandledSignals();
    descriptor_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (descriptor_.valid()) {
        notifier_ = new QSocketNotifier(descriptor_.get(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &SignalNotifier::readSignals);
    }
}

SignalNotifier::~SignalNotifier() = default;

void SignalNotifier::readSignals() {
    signalfd_siginfo info;
    while (::read(descriptor_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        emit received(static_cast<int>(info.ssi_signo));
    }
}

}  // namespace tarnwick
