#include "engine/event/WakeSignal.h"

#include <cstdlib>
#include <mutex>

namespace tarnwick {

namespace {

thread_local bool prepared = false;
thread_local sigset_t waitingMask;

void OnWake(int) {}

void InstallHandler() {
    struct sigaction action {};
    action.sa_handler = &OnWake;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGRTMIN, &action, nullptr) != 0) {
        std::abort();
    }
}

}  // namespace

void WakeSignal::prepareThisThread() {
    if (prepared) {
        return;
    }
    static std::once_flag handlerInstalled;
    std::call_once(handlerInstalled, InstallHandler);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGRTMIN);
    sigaddset(&blocked, SIGPIPE);
    sigset_t before;
    ::pthread_sigmask(SIG_BLOCK, &blocked, &before);
    waitingMask = before;
    sigaddset(&waitingMask, SIGPIPE);
    sigdelset(&waitingMask, SIGRTMIN);
    prepared = true;
}

const sigset_t& WakeSignal::waitMask() {
    return waitingMask;
}

void WakeSignal::send(pthread_t thread) {
    if (int failed = ::pthread_kill(thread, SIGRTMIN); failed != 0) {
        std::abort();  // the caller guarantees a live thread: anything else is a bug
    }
}

}  // namespace tarnwick
