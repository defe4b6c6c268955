#pragma once

#include <cstdint>
#include <string>

#include "config/IpAddress.h"

namespace tarnwick {

// One rule of a Smart port: where to send a connection whose first data matches
// `searchData`. Strings are byte strings, stored and compared without any conversion.
struct ForwardingRule {
    std::int32_t searchType = 0;     // non-zero: searchData is a hex byte pattern; 0: text
    std::int32_t caseSensitive = 0;  // non-zero: text search tells upper from lower case
    std::int32_t forwardPort = 0;    // destination port, 0 to 65535
    std::string forwardIp;           // destination host as typed: dotted IPv4 or a name
    std::string ruleName;            // display name
    std::string searchData;          // the pattern exactly as typed

    bool operator==(const ForwardingRule&) const = default;

    bool isHex() const { return searchType != 0; }
    // "Forward To": "10.0.0.1:22", an IPv6 address in brackets: "[::1]:22".
    std::string forwardLabel() const { return HostPortLabel(forwardIp, forwardPort); }
};

}  // namespace tarnwick
