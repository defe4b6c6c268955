#pragma once

#include <optional>
#include <string_view>

#include "config/IpAddress.h"

namespace tarnwick {

// A block of addresses given as an address and a prefix length: "10.0.0.0/8",
// "2001:db8::/32", or one address alone ("127.0.0.2", "::1"), which is all of its bits.
class AddressPrefix {
public:
    // nullopt when `text` is neither an address nor an address, "/" and a length of 0 to
    // 32 (IPv4) or 0 to 128 (IPv6). Bits after the prefix length are ignored. A v4-mapped
    // IPv6 prefix of 96 bits or more is taken as the IPv4 prefix it covers.
    static std::optional<AddressPrefix> Parse(std::string_view text);

    // True when `address` lies in the block; an IPv4 address never lies in an IPv6 block,
    // nor the other way round. Scopes are not compared.
    bool contains(const IpAddress& address) const;

    const IpAddress& network() const { return network_; }
    int length() const { return length_; }

private:
    AddressPrefix(IpAddress network, int length) : network_(network), length_(length) {}

    IpAddress network_;
    int length_;
};

}  // namespace tarnwick
