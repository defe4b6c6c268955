#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "config/ConfigImage.h"
#include "config/ForwardingPort.h"

namespace tarnwick {

// The settings of a port that the port entry has no room for, in a block after the last
// port entry. A file with the block is version 1002, which a reader that knows only the
// entries refuses whole: such a reader would otherwise run the ports without the settings
// that restrict them.
//
//   magic "TWX2", the length of the rest of the block (4 bytes), then per port, in the
//   entries' order: its number of fields (4 bytes), then each field as its tag (4 bytes),
//   the size of its value (4 bytes) and the value.
//
// A tag below OPTIONAL_TAGS names a setting that changes where a connection may come
// from or go, and a reader that does not know it refuses the file; a tag from
// OPTIONAL_TAGS up may be skipped by a reader that does not know it. Numbers and strings
// are encoded as in the entries. A table whose ports use none of these settings has no
// block and stays version 1001, byte for byte what it was before the block existed.
//
// Version 1001 files of the previous layout ("TWX1": per port listenAddress, the number
// of allowed clients and their texts, with no tags) are still read.
class PortExtensions {
public:
    static constexpr unsigned char MAGIC[4] = {'T', 'W', 'X', '2'};
    static constexpr unsigned char MAGIC_UNTAGGED[4] = {'T', 'W', 'X', '1'};
    static constexpr std::int32_t OPTIONAL_TAGS = 0x10000;

    enum Tag : std::int32_t {
        TAG_LISTEN_ADDRESS = 1,  // string
        TAG_ALLOW_FROM = 2,      // count, then that many strings
        // The kinds of the port's rules (RuleKind: 0 = as the entry says, 1 = TLS server
        // name, 2 = TLS ALPN): their count, then one number per rule in the entries'
        // order. Such a rule's entry is a text rule holding the name or the protocol.
        TAG_RULE_KINDS = 3,
        TAG_PROXY_PROTOCOL = 4,  // number: PROXY_PROTOCOL_OFF, _V1 or _V2
        TAG_ACCEPT_PROXY_PROTOCOL = 5,  // number: 0 or 1
        TAG_UDP_IDLE_SECONDS = 0x10001,      // number
        TAG_UDP_MAX_ASSOCIATIONS = 0x10002,  // number
    };

    // True when `ports` need the block, and so version 1002.
    static bool Needed(const PortTable& ports);

    // Appends the block for `ports` to `image`, or nothing when no port needs it.
    static void Append(const PortTable& ports, std::vector<unsigned char>& image);

    // Reads what follows the last port entry of a file of `version`: `data[offset]` up to
    // `size`. A restriction that cannot be read must never widen a port, so when the block
    // is missing where the version promises one, damaged, cut short, or holds a critical
    // setting this reader does not know, no port is kept and `report` says where and why
    // (Incomplete, portsWithheld). Bytes after a whole block leave the ports as read and
    // are reported (Incomplete).
    static void Read(const unsigned char* data, std::size_t size, std::size_t offset,
                     std::int32_t version, PortTable& ports, LoadReport& report);
};

}  // namespace tarnwick
