#include "engine/udp/ClientKey.h"

#include <netinet/in.h>

#include <cstring>

namespace tarnwick {

ClientKey ClientKey::Of(const SocketAddress& address, bool withPort) {
    ClientKey key;
    key.bytes[0] = static_cast<unsigned char>(address.family());
    if (address.family() == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(*address.get());
        std::memcpy(&key.bytes[4], &v4.sin_addr, sizeof v4.sin_addr);
        if (withPort) {
            std::memcpy(&key.bytes[1], &v4.sin_port, sizeof v4.sin_port);
        }
    } else if (address.family() == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(*address.get());
        std::memcpy(&key.bytes[4], &v6.sin6_addr, sizeof v6.sin6_addr);
        if (withPort) {
            std::memcpy(&key.bytes[1], &v6.sin6_port, sizeof v6.sin6_port);
        }
    }
    return key;
}

}  // namespace tarnwick
