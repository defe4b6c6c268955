#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

#include "config/IpAddress.h"

namespace tarnwick {

// An IPv4 or IPv6 address with a port, in the form the socket calls take and give.
class SocketAddress {
public:
    SocketAddress() = default;  // none: empty()
    SocketAddress(const IpAddress& ip, int port);

    // Where a port listens: every local IPv4 address for "", else the address literal
    // (IPv4, or IPv6 with "::" for every address of both families); nullopt for anything
    // else, or a port outside 0 to 65535.
    static std::optional<SocketAddress> ForListening(const std::string& listenAddress, int port);

    // Every address of `host`, a literal (IPv6 in brackets or not, IPv4 also in the short
    // dotted forms inet_addr takes, such as "127.1") or a name of either family, in the
    // resolver's order, each with `port`. Empty when the name cannot be resolved or the
    // port is outside 0 to 65535. Blocks while a name is looked up.
    // With `failure`, an empty answer also says why, as getaddrinfo tells it ("Name or
    // service not known").
    static std::vector<SocketAddress> Resolve(const std::string& host, int port,
                                              std::string* failure = nullptr);
    // The same without a lookup: the address when `host` is a literal, nothing for a port
    // outside 0 to 65535, and nullopt when `host` is a name that has to be looked up.
    static std::optional<std::vector<SocketAddress>> ResolveLiteral(const std::string& host,
                                                                    int port);

    // The local and the peer address of a socket; empty() on failure.
    static SocketAddress LocalOf(int fd);
    static SocketAddress PeerOf(int fd);

    bool empty() const { return storage_.ss_family == AF_UNSPEC; }
    int family() const { return storage_.ss_family; }
    int port() const;
    // The address; a v4-mapped one as the IPv4 address it carries.
    std::optional<IpAddress> ip() const;

    // This address as a socket bound to `local` can send to it: an IPv4 address becomes
    // v4-mapped for an IPv6 socket that also serves IPv4 ("::", or a v4-mapped address).
    // nullopt when that socket cannot reach it.
    std::optional<SocketAddress> reachableFrom(const SocketAddress& local) const;

    // The same address and port, a v4-mapped address being the IPv4 address it carries.
    bool samePeer(const SocketAddress& other) const;
    // The same address, whatever the ports.
    bool sameHost(const SocketAddress& other) const;

    // "10.0.0.1:80", "[::1]:80".
    std::string toString() const;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage_); }
    socklen_t length() const { return length_; }
    static constexpr socklen_t CAPACITY = sizeof(sockaddr_storage);
    // After a call filled get() up to CAPACITY: the length it reported.
    void setLength(socklen_t length) { length_ = length; }

private:
    sockaddr_storage storage_{};
    socklen_t length_ = 0;
};

}  // namespace tarnwick
