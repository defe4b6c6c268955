#include "base/WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace tarnwick {

int WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t count = ::write(fd, bytes + done, size - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return errno;
        }
        if (count == 0) {
            return EIO;  // no progress: going round again would never end
        }
        done += static_cast<std::size_t>(count);
    }
    return 0;
}

}  // namespace tarnwick
