#pragma once

#include <string>
#include <vector>

#include "config/AddressPrefix.h"
#include "engine/socket/SocketAddress.h"

namespace tarnwick {

// The clients a port admits, from its `allowFrom` texts: everyone when there are none,
// else the addresses inside at least one of them. An IPv4 client that reaches an IPv6
// socket as a v4-mapped address counts as the IPv4 address. A text that is neither an
// address nor a prefix admits nobody, so a damaged entry never opens a port wider.
class AllowedClients {
public:
    AllowedClients() = default;  // everyone
    explicit AllowedClients(const std::vector<std::string>& allowFrom);

    bool admitsEveryone() const { return everyone_; }
    bool admits(const SocketAddress& client) const;

private:
    bool everyone_ = true;
    std::vector<AddressPrefix> prefixes_;
};

}  // namespace tarnwick
