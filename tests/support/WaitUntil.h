#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tarnwick::testing {

// Checks `condition` every millisecond until it holds or `timeout` passes; for states
// that nothing signals (descriptor counts, thread counts, files). Returns the last result.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace tarnwick::testing
