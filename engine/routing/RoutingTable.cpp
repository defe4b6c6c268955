#include "engine/routing/RoutingTable.h"

#include <utility>

namespace tarnwick {

RoutingTable::RoutingTable(std::shared_ptr<const ForwardingPort> port) : port_(std::move(port)) {
    patterns_.reserve(port_->rules.size());
    for (const auto& rule : port_->rules) {
        patterns_.push_back(CompiledPattern::ForRule(*rule));
    }
}

int RoutingTable::FirstMatch(const unsigned char* data, std::size_t length) const {
    const SearchedData searched(data, length);
    for (std::size_t i = 0; i < patterns_.size(); ++i) {
        if (patterns_[i].occursIn(searched)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace tarnwick
