#include "engine/tcp/ProxyHeader.h"

#include <iterator>
#include <optional>
#include <string>

#include "config/ForwardingPort.h"

namespace tarnwick {

namespace {

constexpr unsigned char V2_PROXY_COMMAND = 0x21;  // version 2 in the high nibble, PROXY
constexpr unsigned char V2_TCP_OVER_IPV4 = 0x11;
constexpr unsigned char V2_TCP_OVER_IPV6 = 0x21;
constexpr unsigned char V2_UNSPECIFIED = 0x00;

// Both addresses in one family, or nullopt when either is not an IP address.
struct Endpoints {
    IpAddress source;
    IpAddress destination;
    int sourcePort;
    int destinationPort;
};

std::optional<Endpoints> SameFamily(const SocketAddress& source, const SocketAddress& destination) {
    std::optional<IpAddress> from = source.ip();
    std::optional<IpAddress> to = destination.ip();
    if (!from || !to) {
        return std::nullopt;
    }
    if (from->isIPv4() != to->isIPv4()) {
        from = from->v4Mapped();
        to = to->v4Mapped();
    }
    return Endpoints{*from, *to, source.port(), destination.port()};
}

std::vector<unsigned char> Text(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<unsigned char> Version1(const std::optional<Endpoints>& ends) {
    if (!ends) {
        return Text("PROXY UNKNOWN\r\n");
    }
    return Text(std::string("PROXY ") + (ends->source.isIPv4() ? "TCP4 " : "TCP6 ") +
                ends->source.toString() + ' ' + ends->destination.toString() + ' ' +
                std::to_string(ends->sourcePort) + ' ' + std::to_string(ends->destinationPort) +
                "\r\n");
}

void PutPort(std::vector<unsigned char>& out, int port) {
    out.push_back(static_cast<unsigned char>((port >> 8) & 0xFF));
    out.push_back(static_cast<unsigned char>(port & 0xFF));
}

std::vector<unsigned char> Version2(const std::optional<Endpoints>& ends) {
    std::vector<unsigned char> out(std::begin(ProxyHeader::V2_SIGNATURE),
                                   std::end(ProxyHeader::V2_SIGNATURE));
    out.push_back(V2_PROXY_COMMAND);
    if (!ends) {
        out.insert(out.end(), {V2_UNSPECIFIED, 0, 0});
        return out;
    }
    const std::size_t size = ends->source.size();
    out.push_back(ends->source.isIPv4() ? V2_TCP_OVER_IPV4 : V2_TCP_OVER_IPV6);
    PutPort(out, static_cast<int>(2 * size + 4));
    out.insert(out.end(), ends->source.bytes().begin(), ends->source.bytes().begin() + size);
    out.insert(out.end(), ends->destination.bytes().begin(),
               ends->destination.bytes().begin() + size);
    PutPort(out, ends->sourcePort);
    PutPort(out, ends->destinationPort);
    return out;
}

}  // namespace

std::vector<unsigned char> ProxyHeader::Build(std::int32_t version, const SocketAddress& source,
                                              const SocketAddress& destination) {
    if (version == PROXY_PROTOCOL_V1) {
        return Version1(SameFamily(source, destination));
    }
    if (version == PROXY_PROTOCOL_V2) {
        return Version2(SameFamily(source, destination));
    }
    return {};
}

}  // namespace tarnwick
