#include "engine/AllowedClients.h"

#include <algorithm>

namespace tarnwick {

AllowedClients::AllowedClients(const std::vector<std::string>& allowFrom)
    : everyone_(allowFrom.empty()) {
    for (const std::string& text : allowFrom) {
        if (auto prefix = AddressPrefix::Parse(text)) {
            prefixes_.push_back(*prefix);
        }
    }
}

bool AllowedClients::admits(const SocketAddress& client) const {
    if (everyone_) {
        return true;
    }
    auto address = client.ip();
    return address && std::any_of(prefixes_.begin(), prefixes_.end(),
                                  [&](const AddressPrefix& p) { return p.contains(*address); });
}

}  // namespace tarnwick
