#include "routing/Matchers.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tarnwick {

namespace {

bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
unsigned char Fold(unsigned char c) { return IsUpper(c) ? static_cast<unsigned char>(c + 0x20) : c; }

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The value that strtol(text, nullptr, 16) gives for a text of two characters, in the C
// locale: leading white space, an optional sign, an optional "0x" that counts only when a
// hex digit follows it, then hex digits; no digits at all gives 0.
long PairValue(char first, char second) {
    const char text[3] = {first, second, '\0'};
    const char* p = text;
    while (IsCSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigitValue(p[2]) >= 0) {
        p += 2;
    }
    long value = 0;
    for (int digit; (digit = HexDigitValue(*p)) >= 0; ++p) {
        value = value * 16 + digit;
    }
    return negative ? -value : value;
}

// A hex pattern without its spaces, in lower case: the text that is read in pairs.
std::string HexDigits(const std::string& pattern) {
    std::string digits;
    digits.reserve(pattern.size());
    for (char c : pattern) {
        if (c != ' ') {
            digits.push_back(static_cast<char>(Fold(static_cast<unsigned char>(c))));
        }
    }
    return digits;
}

bool IsWildcard(char first, char second) { return first == 'x' && second == 'x'; }

// One unit of a hex pattern: a wildcard, or the value a data byte must equal (which may
// lie outside 0..255, and then matches nothing).
struct HexUnit {
    bool any;
    long value;
    bool matches(unsigned char byte) const { return any || value == byte; }
};

// The search shared by all matchers: the first start position at which every unit
// matches, with the match lying wholly inside the data.
template <class Unit, class Matches>
int Search(const std::vector<Unit>& pattern, const unsigned char* data, std::size_t length,
           std::size_t start, Matches matches) {
    if (pattern.empty() || start >= length) {
        return 0;
    }
    const unsigned char* end = data + length;
    auto found = std::search(data + start, end, pattern.begin(), pattern.end(),
                             [&](unsigned char byte, const Unit& unit) { return matches(unit, byte); });
    return found != end ? 1 : 0;
}

}  // namespace

int MatchHex(const std::string& pattern, const unsigned char* data, std::size_t length) {
    const std::string digits = HexDigits(pattern);
    if (digits.size() % 2 != 0) {
        return 0;
    }
    std::vector<HexUnit> units;
    units.reserve(digits.size() / 2);
    for (std::size_t k = 0; k < digits.size(); k += 2) {
        units.push_back({IsWildcard(digits[k], digits[k + 1]), PairValue(digits[k], digits[k + 1])});
    }
    return Search(units, data, length, 0,
                  [](const HexUnit& unit, unsigned char byte) { return unit.matches(byte); });
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
    std::vector<unsigned char> lowered(pattern.begin(), pattern.end());
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), Fold);
    return Search(lowered, data, length, start,
                  [](unsigned char unit, unsigned char byte) { return unit == Fold(byte); });
}

int MatchTextCase(const std::string& pattern, const unsigned char* data, std::size_t length,
                  std::size_t start) {
    std::vector<unsigned char> bytes(pattern.begin(), pattern.end());
    return Search(bytes, data, length, start,
                  [](unsigned char unit, unsigned char byte) { return unit == byte; });
}

}  // namespace tarnwick
