// The desktop program end to end, without a display (Qt's offscreen platform): a second
// start hands over to the first and ends, the first answers --status, and SIGTERM ends it
// cleanly.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TempDir;
using testing::WaitUntil;

// True when `directory` holds a file ending in ".lock".
bool HasLock(const std::string& directory) {
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() == ".lock") return true;
    }
    return false;
}

TEST(GuiE2E, SecondStartHandsOverAndSigtermEndsTheFirst) {
    TempDir config, runtime;
    const std::vector<std::string> offscreen = {"QT_QPA_PLATFORM=offscreen",
                                                "XDG_RUNTIME_DIR=" + runtime.path()};
    ChildProcess first(TARNWICK_BINARY, {"--config-dir", config.path(), "-m"}, offscreen);
    // The first instance holds its lock.
    ASSERT_TRUE(WaitUntil([&] { return HasLock(runtime.path()); }, 20s));

    ChildProcess second(TARNWICK_BINARY, {"--config-dir", config.path()}, offscreen);
    EXPECT_EQ(second.wait(20s), 0) << second.err();

    // The window answers --status once its event loop runs, which the hand-over does not
    // wait for: ask until it answers (bounded).
    std::string answer;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         answer.empty() && std::chrono::steady_clock::now() < deadline;) {
        ChildProcess status(TARNWICK_BINARY, {"--status", "--config-dir", config.path()});
        if (status.wait(20s) == 0) answer = status.out();
    }
    EXPECT_EQ(answer.rfind("Tarnwick, window, process " + std::to_string(first.pid()), 0), 0u)
        << answer;

    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(30s), 0) << first.err();
}

}  // namespace
}  // namespace tarnwick
