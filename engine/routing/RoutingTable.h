#pragma once

#include <cstddef>
#include <memory>

#include "config/ForwardingPort.h"
#include "engine/routing/PatternSet.h"

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

    // The index of the first rule, in the port's order, whose pattern occurs in the data;
    // -1 if none.
    int FirstMatch(const unsigned char* data, std::size_t length) const {
        return patterns_.FirstMatch(data, length);
    }

private:
    std::shared_ptr<const ForwardingPort> port_;
    PatternSet patterns_;  // one per rule of port_, in the same order
};

}  // namespace tarnwick
