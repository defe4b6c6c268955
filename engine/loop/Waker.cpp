#include "engine/loop/Waker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace tarnwick {

Waker::Waker() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!fd_.valid()) {
        std::abort();
    }
}

void Waker::wake() const {
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(fd_.get(), &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    // Only a full counter could refuse the write, and that takes 2^64 wake-ups.
}

}  // namespace tarnwick
