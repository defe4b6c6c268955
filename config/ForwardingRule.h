#pragma once

#include <cstdint>
#include <string>

#include "config/IpAddress.h"

namespace tarnwick {

// What a rule looks for. A pattern rule searches the first data for `searchData` (hex or
// text, by `searchType`); the TLS rules read the connection's ClientHello instead: its
// server name (`searchData` an exact name or "*." and a name) or an ALPN protocol it
// offers (`searchData` the protocol). A TLS rule is stored as a text rule, its kind apart.
enum class RuleKind : std::int32_t { Pattern = 0, TlsServerName = 1, TlsAlpn = 2 };

// One rule of a Smart port: where to send a connection whose first data matches
// `searchData`. Strings are byte strings, stored and compared without any conversion.
struct ForwardingRule {
    std::int32_t searchType = 0;     // non-zero: searchData is a hex byte pattern; 0: text
    std::int32_t caseSensitive = 0;  // non-zero: text search tells upper from lower case
    std::int32_t forwardPort = 0;    // destination port, 0 to 65535
    std::string forwardIp;           // destination host as typed: dotted IPv4 or a name
    std::string ruleName;            // display name
    std::string searchData;          // the pattern exactly as typed
    RuleKind kind = RuleKind::Pattern;

    bool operator==(const ForwardingRule&) const = default;

    bool isHex() const { return kind == RuleKind::Pattern && searchType != 0; }
    bool isTls() const { return kind != RuleKind::Pattern; }
    // "hex", "text", "tls-sni" or "tls-alpn": the kind as JSON and the listings name it.
    const char* kindName() const {
        switch (kind) {
            case RuleKind::TlsServerName:
                return "tls-sni";
            case RuleKind::TlsAlpn:
                return "tls-alpn";
            case RuleKind::Pattern:
                break;
        }
        return searchType != 0 ? "hex" : "text";
    }
    // "Forward To": "10.0.0.1:22", an IPv6 address in brackets: "[::1]:22".
    std::string forwardLabel() const { return HostPortLabel(forwardIp, forwardPort); }
};

}  // namespace tarnwick
