#pragma once

#include <cstddef>

#include "base/UniqueFd.h"

namespace tarnwick {

// A pipe through which one direction of a relay moves a stream from one socket to another
// inside the kernel (splice), without copying it through the process. It counts what it
// holds, so bytes the receiving socket could not take yet stay in it until it can. Opened
// on first use, so an idle connection holds no pipe.
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
    // Closes it; it must be empty.
    void close();
    bool isOpen() const { return readEnd_.valid(); }
    // Bytes in the pipe, taken from one socket and not yet given to the other.
    std::size_t size() const { return size_; }

    // Moves up to `length` bytes waiting on socket `fd` into the open pipe: the count
    // moved, 0 when the peer has ended its data, -EAGAIN when nothing is waiting, -EINVAL
    // when the kernel cannot splice this descriptor, or -errno.
    long fillFrom(int fd, std::size_t length);
    // Moves what the pipe holds to socket `fd`, as much as it takes now: the count moved,
    // -EAGAIN when it takes nothing, or -errno (a peer that has gone gives -EPIPE; the
    // caller blocks SIGPIPE, which splice raises).
    long drainTo(int fd);

private:
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    std::size_t size_ = 0;
};

}  // namespace tarnwick
