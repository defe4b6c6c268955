#pragma once

#include <cstdint>
#include <vector>

#include "engine/socket/SocketAddress.h"

namespace tarnwick {

// The PROXY protocol header that a port writes to its destination ahead of the client's
// first byte, so that the destination learns who the client is and where it connected:
//
//   version 1, text:   "PROXY TCP4 192.0.2.1 198.51.100.7 56324 443\r\n"
//                      ("TCP6" for IPv6; "PROXY UNKNOWN\r\n" when the client is not known)
//   version 2, binary: the 12-byte signature, 0x21 (version 2, PROXY command), the family
//                      and transport (0x11 TCP over IPv4, 0x21 TCP over IPv6, 0x00 not
//                      known), the length of what follows (2 bytes, network order), then
//                      source address, destination address, source port, destination port,
//                      all in network order.
//
// A v4-mapped IPv6 address is written as the IPv4 address it carries. When one side is
// IPv4 and the other IPv6 (a client's own header named an IPv6 source, and the port
// listens on IPv4), both are written as IPv6, the IPv4 one v4-mapped, since a header holds
// one family.
class ProxyHeader {
public:
    static constexpr unsigned char V2_SIGNATURE[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                       0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

    // The header of `version` (PROXY_PROTOCOL_V1 or PROXY_PROTOCOL_V2) for a connection
    // from `source` to `destination`; empty for any other version.
    static std::vector<unsigned char> Build(std::int32_t version, const SocketAddress& source,
                                            const SocketAddress& destination);
};

}  // namespace tarnwick
