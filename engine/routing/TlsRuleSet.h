#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/ForwardingPort.h"
#include "engine/routing/ClientHello.h"

namespace tarnwick {

// The server-name and ALPN rules of a port, each read once, tested in the port's order
// against a ClientHello. A server-name rule is an exact name or "*." and a name, which
// stands for exactly one more label; names compare without regard to case, and a trailing
// dot on either side is ignored. A ClientHello without a server name matches no
// server-name rule. An ALPN rule matches when the client offers exactly its protocol.
// Read-only once made, so threads may test it at once.
class TlsRuleSet {
public:
    explicit TlsRuleSet(const ForwardingPort& port);

    bool empty() const { return rules_.empty(); }

    // The index of the first TLS rule below `before` that the ClientHello matches; `before`
    // when none does (or when there is no ClientHello).
    int FirstMatch(const ClientHello* hello, int before) const;

    // One server-name rule against one server name, both as given.
    static bool ServerNameMatches(std::string_view rule, std::string_view name);

private:
    struct Rule {
        int index;     // in the port's rules
        bool alpn;     // else a server name
        bool wildcard; // "*." and `text`
        std::string text;  // the name, lowered, without "*." and trailing dot; the protocol
    };

    static Rule Compile(int index, const ForwardingRule& rule);
    // `name`: the ClientHello's server name as compared (see Canonical).
    static bool Matches(const Rule& rule, const ClientHello& hello, const std::string& name);

    std::vector<Rule> rules_;  // in ascending index
};

}  // namespace tarnwick
