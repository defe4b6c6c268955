#pragma once

#include <cstddef>

#include "event/UniqueFd.h"

namespace tarnwick {

// A pipe through which Socket::ForwardTo moves a stream from one socket to another
// inside the kernel (splice), without copying it through the process. Opened on first
// use, so an idle connection holds no pipe; empty whenever ForwardTo has returned.
//
// CAPACITY: larger pipes move more per call (1 MiB gave a single stream about a tenth
// more than 256 KiB). The system counts every user's pipe capacity against a limit
// (fs.pipe-user-pages-soft) and gives the smallest pipes beyond it: so pipes are kept
// only while a stream flows.
class SplicePipe {
public:
    static constexpr std::size_t CAPACITY = 1024 * 1024;

    // Opens the pipe if it is not open yet; 0 or -errno.
    int open();
    // Closes it; it must be empty (as it is whenever ForwardTo has returned).
    void close();
    bool isOpen() const { return readEnd_.valid(); }
    int readEnd() const { return readEnd_.get(); }
    int writeEnd() const { return writeEnd_.get(); }

private:
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
};

}  // namespace tarnwick
