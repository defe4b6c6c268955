#include "event/SplicePipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tarnwick {

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
}

}  // namespace tarnwick
