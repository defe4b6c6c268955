#pragma once

#include <cstddef>
#include <vector>

#include "config/ConfigImage.h"
#include "config/ForwardingPort.h"

namespace tarnwick {

// The settings of a port that the port entry has no room for, its listen address and
// allowed clients, in a block after the last port entry, where a reader that knows only
// the entries never looks:
//
//   magic "TWX1" (4 bytes), then the length of the rest of the block (4 bytes), then per
//   port, in the entries' order: listenAddress (string), the number of allowed-client
//   texts (4 bytes) and those texts (strings).
//
// Numbers and strings are encoded as in the entries. A table whose ports use none of
// these settings has no block, so its file is exactly what it was without them.
class PortExtensions {
public:
    static constexpr unsigned char MAGIC[4] = {'T', 'W', 'X', '1'};

    // Appends the block for `ports` to `image`, or nothing when no port needs it.
    static void Append(const PortTable& ports, std::vector<unsigned char>& image);

    // Reads what follows the last port entry: `data[offset]` up to `size`. All or
    // nothing: when the block is damaged or cut short, no port gets any of it, the ports
    // stay, and `report` says where and why (Incomplete, extensionsLost). Bytes that are
    // not a block are reported as following the last entry.
    static void Read(const unsigned char* data, std::size_t size, std::size_t offset,
                     PortTable& ports, LoadReport& report);
};

}  // namespace tarnwick
