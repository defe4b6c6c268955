#pragma once

#include <cstddef>

namespace tarnwick {

// Writes all `size` bytes to `fd`, going on after short writes and interrupted calls.
// Returns 0, or the errno of the write that failed (EIO for one that wrote nothing);
// what was written before a failure stays written.
int WriteAll(int fd, const void* data, std::size_t size);

}  // namespace tarnwick
