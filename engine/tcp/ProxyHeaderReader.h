#pragma once

#include <cstddef>
#include <optional>

#include "engine/socket/SocketAddress.h"

namespace tarnwick {

// Reads the PROXY protocol header (version 1 or 2, ProxyHeader shows both) that a load
// balancer in front of a port writes at the start of each connection. Parse looks at the
// bytes received so far and says whether they hold a whole header, need more, or cannot
// be one; it never reads past `length`, and never needs more than MAX_SIZE bytes to
// decide, so a caller that keeps MAX_SIZE bytes always gets an answer.
//
// A header without addresses (version 1 "UNKNOWN", version 2's LOCAL command, which
// health checks use, or a family other than TCP over IPv4 or IPv6) is whole but names no
// client: the connection's own peer stands.
class ProxyHeaderReader {
public:
    static constexpr std::size_t V1_MAX_SIZE = 107;  // "PROXY ... \r\n", the CRLF included
    static constexpr std::size_t V2_FIXED_SIZE = 16;
    // The largest version 2 header taken, its addresses and extensions included.
    static constexpr std::size_t MAX_SIZE = 4096;

    enum class Status { Incomplete, Complete, Invalid };

    struct Result {
        Status status = Status::Incomplete;
        std::size_t size = 0;  // Complete: the header's bytes; the client's own data follows
        // Complete: the client and the address it connected to, as the header names them;
        // nullopt for a header without addresses.
        std::optional<SocketAddress> source;
        std::optional<SocketAddress> destination;
        const char* problem = "";  // Invalid: why, for the connection log
    };

    static Result Parse(const unsigned char* data, std::size_t length);
};

}  // namespace tarnwick
