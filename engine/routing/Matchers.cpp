#include "engine/routing/Matchers.h"

#include <cstdio>

#include "engine/routing/CompiledPattern.h"
#include "engine/routing/HexPairs.h"

namespace tarnwick {

using hexpairs::HexDigitValue;
using hexpairs::HexDigits;
using hexpairs::IsWildcard;
using hexpairs::PairValue;

int MatchHex(const std::string& pattern, const unsigned char* data, std::size_t length) {
    return CompiledPattern::Hex(pattern).occursIn(SearchedData(data, length)) ? 1 : 0;
}

HexPatternCheck CheckHexPattern(const std::string& pattern) {
    const std::string digits = HexDigits(pattern);
    if (digits.empty()) {
        return {true, "hex pattern has no digits, it can never match"};
    }
    if (digits.size() % 2 != 0) {
        return {true, "hex pattern has an odd number of digits, it can never match"};
    }
    auto pairText = [&](std::size_t k) {
        return "hex pair " + std::to_string(k / 2 + 1) + " \"" + digits.substr(k, 2) + "\"";
    };
    HexPatternCheck check;
    for (std::size_t k = 0; k < digits.size(); k += 2) {
        const char first = digits[k], second = digits[k + 1];
        if (IsWildcard(first, second) || (HexDigitValue(first) >= 0 && HexDigitValue(second) >= 0)) {
            continue;
        }
        const long value = PairValue(first, second);
        if (value < 0) {
            return {true, pairText(k) + " stands for no byte, it can never match"};
        }
        if (check.problem.empty()) {
            char byte[4];
            std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(value));
            check.problem = pairText(k) + " is not two hex digits; it matches the byte " + byte;
        }
    }
    return check;
}

int MatchText(const std::string& pattern, const unsigned char* data, std::size_t length,
              std::size_t start) {
    return CompiledPattern::Text(pattern, false).occursIn(SearchedData(data, length), start) ? 1
                                                                                           : 0;
}

int MatchTextCase(const std::string& pattern, const unsigned char* data, std::size_t length,
                  std::size_t start) {
    return CompiledPattern::Text(pattern, true).occursIn(SearchedData(data, length), start) ? 1
                                                                                          : 0;
}

}  // namespace tarnwick
