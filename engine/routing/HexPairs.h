#pragma once

#include <string>

namespace tarnwick::hexpairs {

// How a hex pattern's text is read: spaces dropped, lower case, then pairs of characters.

inline bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
inline unsigned char Fold(unsigned char c) {
    return IsUpper(c) ? static_cast<unsigned char>(c + 0x20) : c;
}

inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The value that strtol(text, nullptr, 16) gives for a text of two characters, in the C
// locale: leading white space, an optional sign, an optional "0x" that counts only when a
// hex digit follows it, then hex digits; no digits at all gives 0.
inline long PairValue(char first, char second) {
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
inline std::string HexDigits(const std::string& pattern) {
    std::string digits;
    digits.reserve(pattern.size());
    for (char c : pattern) {
        if (c != ' ') {
            digits.push_back(static_cast<char>(Fold(static_cast<unsigned char>(c))));
        }
    }
    return digits;
}

inline bool IsWildcard(char first, char second) { return first == 'x' && second == 'x'; }

}  // namespace tarnwick::hexpairs
