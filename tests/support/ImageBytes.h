#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::testing {

// The pieces of a configuration file, written by hand: 32-bit integers, least significant
// byte first, and strings as their length counting a final NUL, their bytes, and the NUL.
using Bytes = std::vector<unsigned char>;

inline void PutInt(Bytes& out, std::int32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

inline void PutString(Bytes& out, const std::string& text) {
    PutInt(out, static_cast<std::int32_t>(text.size() + 1));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

}  // namespace tarnwick::testing
