#include "engine/socket/SocketAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace tarnwick {

namespace {

std::string WithoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

// getsockname or getpeername: both fill an address and report its length.
using SocketNameQuery = int (*)(int, sockaddr*, socklen_t*);

SocketAddress QueriedAddress(SocketNameQuery query, int fd) {
    SocketAddress address;
    socklen_t length = SocketAddress::CAPACITY;
    if (query(fd, address.get(), &length) != 0) {
        return {};
    }
    address.setLength(length);
    return address;
}

}  // namespace

SocketAddress::SocketAddress(const IpAddress& ip, int port) {
    const auto networkPort = htons(static_cast<std::uint16_t>(port));
    if (ip.isIPv4()) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(storage_);
        v4.sin_family = AF_INET;
        v4.sin_port = networkPort;
        std::memcpy(&v4.sin_addr, ip.bytes().data(), 4);
        length_ = sizeof v4;
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage_);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = networkPort;
        std::memcpy(&v6.sin6_addr, ip.bytes().data(), 16);
        v6.sin6_scope_id = ip.scopeId();
        length_ = sizeof v6;
    }
}

std::optional<SocketAddress> SocketAddress::ForListening(const std::string& listenAddress,
                                                         int port) {
    if (port < 0 || port > 65535) {
        return std::nullopt;
    }
    if (listenAddress.empty()) {
        return SocketAddress(*IpAddress::Parse("0.0.0.0"), port);
    }
    auto ip = IpAddress::Parse(listenAddress);
    if (!ip) {
        return std::nullopt;
    }
    return SocketAddress(*ip, port);
}

// inet_aton takes the short dotted forms ("127.1") as inet_addr does.
std::optional<std::vector<SocketAddress>> SocketAddress::ResolveLiteral(const std::string& host,
                                                                        int port) {
    if (port < 0 || port > 65535) {
        return std::vector<SocketAddress>{};
    }
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    if (::inet_aton(host.c_str(), &v4.sin_addr) != 0) {
        return std::vector<SocketAddress>{
            SocketAddress(*IpAddress::FromSockaddr(reinterpret_cast<sockaddr&>(v4)), port)};
    }
    if (auto literal = IpAddress::Parse(host)) {
        return std::vector<SocketAddress>{SocketAddress(*literal, port)};
    }
    return std::nullopt;
}

std::vector<SocketAddress> SocketAddress::Resolve(const std::string& host, int port,
                                                  std::string* failure) {
    if (auto literal = ResolveLiteral(host, port)) {
        if (literal->empty() && failure != nullptr) {
            *failure = "port " + std::to_string(port) + " is out of range";
        }
        return *literal;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    std::vector<SocketAddress> addresses;
    if (int result = ::getaddrinfo(WithoutBrackets(host).c_str(), nullptr, &hints, &found);
        result != 0) {
        if (failure != nullptr) {
            *failure = result == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(result);
        }
        return addresses;
    }
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (auto ip = IpAddress::FromSockaddr(*entry->ai_addr)) {
            addresses.emplace_back(*ip, port);
        }
    }
    ::freeaddrinfo(found);
    return addresses;
}

SocketAddress SocketAddress::LocalOf(int fd) {
    return QueriedAddress(::getsockname, fd);
}

SocketAddress SocketAddress::PeerOf(int fd) {
    return QueriedAddress(::getpeername, fd);
}

int SocketAddress::port() const {
    if (family() == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(storage_).sin_port);
    }
    if (family() == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(storage_).sin6_port);
    }
    return 0;
}

std::optional<IpAddress> SocketAddress::ip() const {
    return IpAddress::FromSockaddr(*get());
}

std::optional<SocketAddress> SocketAddress::reachableFrom(const SocketAddress& local) const {
    auto target = ip();
    auto from = local.ip();
    if (!target || !from) {
        return std::nullopt;
    }
    if (local.family() == AF_INET) {
        return target->isIPv4() ? std::optional(SocketAddress(*target, port())) : std::nullopt;
    }
    if (!target->isIPv4()) {
        return SocketAddress(*target, port());
    }
    if (!from->isIPv6Any() && !from->isIPv4()) {
        return std::nullopt;  // bound to one IPv6 address: no IPv4 traffic
    }
    return SocketAddress(target->v4Mapped(), port());
}

bool SocketAddress::samePeer(const SocketAddress& other) const {
    return sameHost(other) && port() == other.port();
}

bool SocketAddress::sameHost(const SocketAddress& other) const {
    auto a = ip();
    auto b = other.ip();
    return a && b && a->family() == b->family() &&
           std::memcmp(a->bytes().data(), b->bytes().data(), a->size()) == 0;
}

std::string SocketAddress::toString() const {
    auto address = ip();
    return address ? HostPortLabel(address->toString(), port()) : std::string();
}

}  // namespace tarnwick
