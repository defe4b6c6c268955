#pragma once

#include <cstddef>

#include "event/UniqueFd.h"

namespace tarnwick {

// A pipe through which Socket::ForwardTo moves a stream from one socket to another
// inside the kernel (splice), without copying it through the process. Opened on first
// use, so an idle connection holds no pipe; empty whenever ForwardTo has returned.
class SplicePipe {
public:
    static constexpr std::size_t CAPACITY = 256 * 1024;

    // Opens the pipe if it is not open yet; 0 or -errno.
    int open();
    bool isOpen() const { return readEnd_.valid(); }
    int readEnd() const { return readEnd_.get(); }
    int writeEnd() const { return writeEnd_.get(); }

private:
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
};

}  // namespace tarnwick
