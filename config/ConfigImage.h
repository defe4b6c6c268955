#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/ForwardingPort.h"

namespace tarnwick {

inline constexpr std::int32_t CONFIG_VERSION = 1001;             // written; has timeouts
inline constexpr std::int32_t CONFIG_VERSION_NO_TIMEOUT = 1000;  // still read
// Written instead of 1001 when a port has settings that only the extension block holds,
// so that a reader that knows only the entries refuses the file rather than run the port
// without them.
inline constexpr std::int32_t CONFIG_VERSION_EXTENDED = 1002;

// What a load did: how many ports it kept, and where and why it stopped early.
struct LoadReport {
    enum class Outcome {
        Loaded,      // every entry read, nothing left over
        Missing,     // no file: an empty list
        Unreadable,  // the file exists but could not be read
        Incomplete,  // stopped early (or bytes left over); the ports before it are kept
    };

    std::string path;  // the file, when it came from one
    Outcome outcome = Outcome::Loaded;
    int portsRead = 0;
    std::size_t offset = 0;  // Incomplete: byte offset of the field it stopped at
    std::string field;       // Incomplete: which field, e.g. "port 2, rule 1, searchData size"
    std::string reason;      // Incomplete, Unreadable: why
    // Incomplete: the block after the entries, with the settings that restrict where a
    // port listens and whom it admits, could not be read, so no port was kept at all.
    bool portsWithheld = false;

    bool complete() const { return outcome == Outcome::Loaded || outcome == Outcome::Missing; }

    // One line for a person: file, byte offset, field, reason and ports kept.
    std::string describe() const;
};

struct LoadResult {
    PortTable ports;
    LoadReport report;
};

// The binary layout of Brisel.cfg: little-endian 32-bit integers, strings as a size
// (length + 1) followed by the bytes and a terminating 0, no padding anywhere.
class ConfigImage {
public:
    // The whole file for `ports`, in table order: version 1001, or 1002 followed by the
    // extension block when a port needs it.
    static std::vector<unsigned char> Encode(const PortTable& ports);

    // Reads an image. Stops at the first field it cannot read whole, at a wrong version,
    // a negative port count, a string size larger than the image or more ports or rules
    // than MAX_PORTS and MAX_RULES_PER_PORT, keeping the ports read completely before it.
    // A negative rule count reads as no rules. Time and memory stay bounded by the image's size.
    static LoadResult Decode(const unsigned char* data, std::size_t size);
    static LoadResult Decode(const std::vector<unsigned char>& image) {
        return Decode(image.data(), image.size());
    }
};

}  // namespace tarnwick
