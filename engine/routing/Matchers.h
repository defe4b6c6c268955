#pragma once

#include <cstddef>
#include <string>

namespace tarnwick {

// Each matcher returns 1 when its pattern occurs anywhere wholly inside the data, else 0.
// An empty pattern never matches, and neither does anything against empty data.

// A hex byte pattern: spaces ignored, case ignored, read in pairs; "xx" matches any byte,
// any other pair matches the byte that strtol(pair, 16) yields. Odd length never matches.
int MatchHex(const std::string& pattern, const unsigned char* data, std::size_t length);

// A hex pattern looked at the way MatchHex reads it, for a person who wrote it.
struct HexPatternCheck {
    bool neverMatches = false;  // no data can match it
    std::string problem;        // why, or which pair reads other than it looks; empty if none
};
HexPatternCheck CheckHexPattern(const std::string& pattern);

// Text, case-insensitive: the pattern is lowered, data bytes A-Z are folded, no others.
int MatchText(const std::string& pattern, const unsigned char* data, std::size_t length,
              std::size_t start = 0);

// Text, byte for byte.
int MatchTextCase(const std::string& pattern, const unsigned char* data, std::size_t length,
                  std::size_t start = 0);

}  // namespace tarnwick
