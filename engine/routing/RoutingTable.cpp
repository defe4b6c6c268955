#include "engine/routing/RoutingTable.h"

#include <utility>
#include <vector>

namespace tarnwick {

namespace {

std::vector<CompiledPattern> PatternsOf(const ForwardingPort& port) {
    std::vector<CompiledPattern> patterns;
    patterns.reserve(port.rules.size());
    for (const auto& rule : port.rules) {
        patterns.push_back(CompiledPattern::ForRule(*rule));
    }
    return patterns;
}

}  // namespace

RoutingTable::RoutingTable(std::shared_ptr<const ForwardingPort> port)
    : port_(std::move(port)), patterns_(PatternsOf(*port_)), tls_(*port_) {}

}  // namespace tarnwick
