#pragma once

#include <cstdint>

namespace tarnwick::testing {

// A message number that tests post to workers and mailboxes; no engine message has it.
inline constexpr std::uint32_t TEST_MESSAGE = 5000;

}  // namespace tarnwick::testing
