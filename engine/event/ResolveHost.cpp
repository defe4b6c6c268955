#include "event/ResolveHost.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

namespace tarnwick {

namespace {

sockaddr_storage WithPort(const sockaddr* address, socklen_t length, int port) {
    sockaddr_storage stored{};
    std::memcpy(&stored, address, length);
    auto networkPort = htons(static_cast<std::uint16_t>(port));
    if (stored.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(stored).sin6_port = networkPort;
    } else {
        reinterpret_cast<sockaddr_in&>(stored).sin_port = networkPort;
    }
    return stored;
}

}  // namespace

std::vector<sockaddr_storage> ResolveHost(const std::string& host, int port) {
    std::vector<sockaddr_storage> addresses;
    if (port < 0 || port > 65535) {
        return addresses;
    }
    sockaddr_in dotted{};
    dotted.sin_family = AF_INET;
    if (::inet_aton(host.c_str(), &dotted.sin_addr) != 0) {
        addresses.push_back(
            WithPort(reinterpret_cast<const sockaddr*>(&dotted), sizeof dotted, port));
        return addresses;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return addresses;
    }
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen <= sizeof(sockaddr_storage)) {
            addresses.push_back(WithPort(entry->ai_addr, entry->ai_addrlen, port));
        }
    }
    ::freeaddrinfo(found);
    return addresses;
}

}  // namespace tarnwick
