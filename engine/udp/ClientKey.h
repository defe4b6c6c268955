#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "engine/socket/SocketAddress.h"

namespace tarnwick {

// A UDP client's address and port as a small value to look associations up by: the bytes
// of the address as the socket reported it (one socket reports one family, so a client
// always gets the same key), with or without the port.
struct ClientKey {
    std::array<unsigned char, 20> bytes{};  // family, port (2), address (16)

    static ClientKey Of(const SocketAddress& address, bool withPort = true);

    bool operator==(const ClientKey&) const = default;
};

struct ClientKeyHash {
    std::size_t operator()(const ClientKey& key) const {
        return std::hash<std::string_view>()(
            std::string_view(reinterpret_cast<const char*>(key.bytes.data()), key.bytes.size()));
    }
};

}  // namespace tarnwick
