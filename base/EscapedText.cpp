#include "base/EscapedText.h"

#include <algorithm>
#include <cstdio>

namespace tarnwick {

namespace {

bool IsControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7f;
}

void AppendHex(std::string& out, unsigned char byte) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    out += hex;
}

}  // namespace

std::string EscapedText(std::string_view text, char quote) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char byte : text) {
        if (byte == '\\' || (quote != '\0' && byte == static_cast<unsigned char>(quote))) {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\t') {
            out += "\\t";
        } else if (IsControl(byte)) {
            AppendHex(out, byte);
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string EscapedLine(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (unsigned char byte : line) {
        if (byte != '\t' && IsControl(byte)) {
            AppendHex(out, byte);
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

bool HasControlByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char byte) { return IsControl(static_cast<unsigned char>(byte)); });
}

}  // namespace tarnwick
