#pragma once

#include <climits>
#include <cstddef>
#include <memory>

#include "config/ForwardingPort.h"
#include "engine/routing/ClientHello.h"
#include "engine/routing/PatternSet.h"
#include "engine/routing/TlsRuleSet.h"

namespace tarnwick {

// A port's settings with every rule's pattern read once and filed for a search of all of
// them at once, fixed for the life of its worker. Read-only, so the sessions of one
// listener share a single table instead of each copying the port: a port with many rules
// then costs its memory once, not once per connection, and no pattern is read again for a
// connection's first data.
class RoutingTable {
public:
    explicit RoutingTable(std::shared_ptr<const ForwardingPort> port);

    const ForwardingPort& port() const { return *port_; }

    // The index of the first rule, in the port's order, that matches: a pattern rule whose
    // pattern occurs in the data, or a TLS rule that `hello` (the data's ClientHello, null
    // when it has none) matches; -1 if none. A port without TLS rules pays one test.
    int FirstMatch(const unsigned char* data, std::size_t length,
                   const ClientHello* hello = nullptr) const {
        const int match = patterns_.FirstMatch(data, length);
        if (tls_.empty() || hello == nullptr) {
            return match;
        }
        const int first = tls_.FirstMatch(hello, match < 0 ? INT_MAX : match);
        return first == INT_MAX ? -1 : first;
    }

    bool hasTlsRules() const { return !tls_.empty(); }

private:
    std::shared_ptr<const ForwardingPort> port_;
    PatternSet patterns_;  // one per rule of port_, in the same order; a TLS rule's never matches
    TlsRuleSet tls_;       // the TLS rules of port_
};

}  // namespace tarnwick
