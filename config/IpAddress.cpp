#include "config/IpAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace tarnwick {

namespace {

constexpr unsigned char V4_MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

std::string_view WithoutBrackets(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

// A scope after '%': an interface name or number. 0 when there is none or it is unknown.
std::optional<std::uint32_t> ParseScope(const std::string& scope) {
    if (scope.empty()) {
        return std::nullopt;
    }
    if (scope.find_first_not_of("0123456789") == std::string::npos && scope.size() <= 9) {
        return static_cast<std::uint32_t>(std::stoul(scope));
    }
    unsigned index = ::if_nametoindex(scope.c_str());
    return index != 0 ? std::optional<std::uint32_t>(index) : std::nullopt;
}

}  // namespace

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
    IpAddress address;
    const bool bracketed = WithoutBrackets(text).size() != text.size();
    std::string inner(WithoutBrackets(text));
    if (inner.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    if (!bracketed && ::inet_pton(AF_INET, inner.c_str(), address.bytes_.data()) == 1) {
        address.family_ = AF_INET;
        return address;
    }
    std::size_t percent = inner.find('%');
    if (percent != std::string::npos) {
        auto scope = ParseScope(inner.substr(percent + 1));
        if (!scope) {
            return std::nullopt;
        }
        address.scopeId_ = *scope;
        inner.resize(percent);
    }
    if (::inet_pton(AF_INET6, inner.c_str(), address.bytes_.data()) == 1) {
        address.family_ = AF_INET6;
        return address;
    }
    return std::nullopt;
}

std::optional<IpAddress> IpAddress::FromSockaddr(const sockaddr& address) {
    IpAddress ip;
    if (address.sa_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        std::memcpy(ip.bytes_.data(), &v4.sin_addr, 4);
        return ip;
    }
    if (address.sa_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        ip.family_ = AF_INET6;
        std::memcpy(ip.bytes_.data(), &v6.sin6_addr, 16);
        ip.scopeId_ = v6.sin6_scope_id;
        return ip.unmapped().value_or(ip);
    }
    return std::nullopt;
}

bool IpAddress::isIPv6Any() const {
    return family_ == AF_INET6 && bytes_ == std::array<unsigned char, 16>{};
}

std::optional<IpAddress> IpAddress::unmapped() const {
    if (family_ != AF_INET6 ||
        std::memcmp(bytes_.data(), V4_MAPPED_PREFIX, sizeof V4_MAPPED_PREFIX) != 0) {
        return std::nullopt;
    }
    IpAddress v4;
    std::memcpy(v4.bytes_.data(), bytes_.data() + 12, 4);
    return v4;
}

IpAddress IpAddress::v4Mapped() const {
    if (!isIPv4()) {
        return *this;
    }
    IpAddress v6;
    v6.family_ = AF_INET6;
    std::memcpy(v6.bytes_.data(), V4_MAPPED_PREFIX, sizeof V4_MAPPED_PREFIX);
    std::memcpy(v6.bytes_.data() + 12, bytes_.data(), 4);
    return v6;
}

std::string IpAddress::toString() const {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family_, bytes_.data(), text, sizeof text);
    return text;
}

bool IsIPv6Literal(std::string_view host) {
    auto address = IpAddress::Parse(host);
    return address && !address->isIPv4();
}

std::string HostPortLabel(const std::string& host, std::int32_t port) {
    const bool bracket = IsIPv6Literal(host) && host.front() != '[';
    return (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace tarnwick
