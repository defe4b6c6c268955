#include "engine/tcp/SplicePipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tarnwick {

namespace {

long Splice(int from, int to, std::size_t length) {
    ssize_t moved;
    do {
        moved = ::splice(from, nullptr, to, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (moved < 0 && errno == EINTR);
    if (moved < 0) {
        return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    }
    return static_cast<long>(moved);
}

}  // namespace

int SplicePipe::open() {
    if (isOpen()) {
        return 0;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -errno;
    }
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    // A larger pipe moves more per call; where the system refuses, the default will do.
    ::fcntl(writeEnd_.get(), F_SETPIPE_SZ, static_cast<int>(CAPACITY));
    return 0;
}

void SplicePipe::close() {
    readEnd_.reset();
    writeEnd_.reset();
    size_ = 0;
}

long SplicePipe::fillFrom(int fd, std::size_t length) {
    long moved = Splice(fd, writeEnd_.get(), length);
    if (moved > 0) {
        size_ += static_cast<std::size_t>(moved);
    }
    return moved;
}

long SplicePipe::drainTo(int fd) {
    if (size_ == 0) {
        return 0;
    }
    long moved = Splice(readEnd_.get(), fd, size_);
    if (moved > 0) {
        size_ -= static_cast<std::size_t>(moved);
    }
    return moved;
}

}  // namespace tarnwick
