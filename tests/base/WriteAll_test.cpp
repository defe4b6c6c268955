#include "base/WriteAll.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "base/UniqueFd.h"

namespace tarnwick {
namespace {

// Far more than a pipe holds, so the writer goes on only as the reader drains it.
TEST(WriteAll, WritesEveryByteInOrderThroughAPipeSmallerThanTheData) {
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 31 % 251);
    }
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    std::string received;
    std::thread reader([&] {
        char chunk[4096];
        ssize_t count;
        while ((count = ::read(readEnd.get(), chunk, sizeof chunk)) > 0 ||
               (count < 0 && errno == EINTR)) {
            received.append(chunk, static_cast<std::size_t>(count > 0 ? count : 0));
        }
    });
    EXPECT_EQ(WriteAll(writeEnd.get(), data.data(), data.size()), 0);
    EXPECT_EQ(writeEnd.close(), 0);
    reader.join();
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST(WriteAll, ReturnsTheErrnoOfTheWriteThatFailed) {
    UniqueFd readOnly(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(readOnly.valid());
    EXPECT_EQ(WriteAll(readOnly.get(), "x", 1), EBADF);
}

}  // namespace
}  // namespace tarnwick
