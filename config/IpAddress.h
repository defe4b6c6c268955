#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// A numeric IPv4 or IPv6 address, without a port. IPv4 addresses use the first 4 bytes.
class IpAddress {
public:
    // "127.0.0.1", "::1", "[::1]", "fe80::1%eth0" (a scope by name or number); nullopt for
    // anything else, host names included. IPv4 takes the full dotted form only.
    static std::optional<IpAddress> Parse(std::string_view text);

    // The address of a socket address. A v4-mapped IPv6 address ("::ffff:10.0.0.1"), which
    // is how an IPv6 socket that also serves IPv4 sees an IPv4 peer, becomes that IPv4
    // address. nullopt for other families.
    static std::optional<IpAddress> FromSockaddr(const sockaddr& address);

    int family() const { return family_; }
    bool isIPv4() const { return family_ == AF_INET; }
    // 4 for IPv4, 16 for IPv6.
    std::size_t size() const { return isIPv4() ? 4 : 16; }
    const std::array<unsigned char, 16>& bytes() const { return bytes_; }
    std::uint32_t scopeId() const { return scopeId_; }

    // The IPv6 "any" address "::".
    bool isIPv6Any() const;
    // An IPv6 address that carries an IPv4 one (::ffff:a.b.c.d): that IPv4 address.
    std::optional<IpAddress> unmapped() const;
    // An IPv4 address as the IPv6 address that carries it; an IPv6 address as it is.
    IpAddress v4Mapped() const;

    // "10.0.0.1", "2001:db8::5"; no brackets, no scope.
    std::string toString() const;

    bool operator==(const IpAddress& other) const = default;

private:
    int family_ = AF_INET;
    std::array<unsigned char, 16> bytes_{};
    std::uint32_t scopeId_ = 0;
};

// True when `host` is an IPv6 address literal, in brackets or not.
bool IsIPv6Literal(std::string_view host);

// "host:port" as the port list shows it; an IPv6 literal is put in brackets
// ("[::1]:80") unless it already has them. Other texts are shown as they are.
std::string HostPortLabel(const std::string& host, std::int32_t port);

}  // namespace tarnwick
