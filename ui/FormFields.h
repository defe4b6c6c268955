#pragma once

// Internal to the dialog forms: how flags and numbers go between records and fields.

#include <QString>

#include <cstdint>

namespace tarnwick {

// A flag that is on keeps the original's non-zero value; a flag turned on is 1.
inline std::int32_t FlagValue(bool on, std::int32_t original) {
    if (!on) {
        return 0;
    }
    return original != 0 ? original : 1;
}

// Numbers show as unsigned decimals, the way they were always shown.
inline QString UnsignedText(std::int32_t value) {
    return QString::number(static_cast<std::uint32_t>(value));
}

}  // namespace tarnwick
