#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/routing/CompiledPattern.h"
#include "engine/routing/KeyTable.h"

namespace tarnwick {

// The patterns of a port's rules, in order, searched for all at once. Each pattern is filed
// under a key: a run of its literal bytes, as long as it has up to four, chosen to be
// shared with as few other patterns as may be, and of bytes that data holds less often.
// One pass over the data looks up, at each place, the keys that start with the bytes there;
// only the patterns under a key found are compared, first by one more of their bytes, then
// whole. Patterns of wildcards only need no search: they occur in any data as long as they
// are. The result is that of trying every pattern in order; the cost grows with the data
// and the patterns it brings up, hardly with the number of patterns. Read-only once made,
// so threads may search it at once; a search allocates nothing.
class PatternSet {
public:
    explicit PatternSet(std::vector<CompiledPattern> patterns);

    // The index of the first pattern that occurs in the data; -1 if none.
    int FirstMatch(const unsigned char* data, std::size_t length) const;

private:
    struct Unanchored {
        std::uint32_t pattern;
        std::size_t size;
    };

    void file(std::uint32_t pattern, std::unordered_map<std::uint64_t, std::uint32_t>& taken);
    KeyTable& tableFor(std::size_t length, bool folded);
    void markStart(const KeyTable& table, const CompiledPattern& pattern, std::size_t keyAt);
    bool pairHeld(unsigned char first, unsigned char second) const {
        const unsigned pair = first | second << 8;
        return (keyPairs_[pair / 64] >> (pair % 64) & 1) != 0;
    }
    std::uint32_t firstUnanchored(std::size_t length) const;
    std::uint32_t firstAt(std::span<const KeyTable::Entry> entries, bool folded,
                          const unsigned char* data, std::size_t length, std::size_t at,
                          std::uint32_t best) const;

    std::vector<CompiledPattern> patterns_;
    std::vector<KeyTable> tables_;        // at most one per key length and form
    std::vector<Unanchored> unanchored_;  // in ascending pattern index

    // Per byte of the data, a bit for each table with a key that can start there.
    std::array<std::uint8_t, 256> tablesByFirstByte_{};
    // The tables of keys of two bytes or more, and a bit for each pair of data bytes that
    // such a key can start with: together they turn most places away at once.
    std::uint8_t pairTables_ = 0;
    std::vector<std::uint64_t> keyPairs_;
    std::uint32_t firstKeyed_ = KeyTable::NONE;  // the lowest pattern index in the tables
};

}  // namespace tarnwick
