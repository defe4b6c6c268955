#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/ForwardingRule.h"

namespace tarnwick {

// The data that patterns are searched in: as received, and with A-Z folded to a-z for
// the case-insensitive patterns. Each form comes with an index of where every byte value
// stands, so that a pattern is looked for only where its rarest byte is. Both are made
// once, when the first pattern asks, and serve every rule of one decision.
class SearchedData {
public:
    // The places of each byte value, in ascending order: those of value v are
    // positions[start[v]] up to positions[start[v + 1]].
    struct Index {
        std::array<std::uint32_t, 257> start{};
        std::vector<std::uint32_t> positions;
    };

    SearchedData(const unsigned char* data, std::size_t length) : data_(data), length_(length) {}

    const unsigned char* bytes() const { return data_; }
    const unsigned char* folded() const;
    const Index& index(bool folded) const;
    std::size_t length() const { return length_; }

private:
    const unsigned char* data_;
    std::size_t length_;
    mutable std::vector<unsigned char> folded_;
    mutable bool isFolded_ = false;
    mutable Index indexes_[2];
    mutable bool isIndexed_[2] = {false, false};
};

// One rule's pattern, read once: a run of units, each a byte that the data must hold at
// its place, or (hex "xx") any byte. Case-insensitive text is lowered here and searched in
// the folded data. A pattern that can match nothing (empty, hex of odd length, a hex pair
// that stands for no byte) is kept as such and never matches.
class CompiledPattern {
public:
    static CompiledPattern Hex(const std::string& pattern);
    static CompiledPattern Text(const std::string& pattern, bool caseSensitive);
    // By the rule's search type and case setting; a TLS rule's never matches.
    static CompiledPattern ForRule(const ForwardingRule& rule);

    // True when the pattern occurs wholly inside the data, starting at `start` or later.
    bool occursIn(const SearchedData& data, std::size_t start = 0) const;

    // True when the pattern occurs at `at` of the data as received, wholly inside it; a
    // case-insensitive pattern folds the data's A-Z as it compares.
    bool occursAt(const unsigned char* data, std::size_t length, std::size_t at) const;

    // Its units, for finding it by a run of literal bytes.
    std::size_t size() const { return bytes_.size(); }
    bool neverMatches() const { return never_; }
    bool caseless() const { return caseless_; }
    bool isLiteral(std::size_t unit) const { return mask_.empty() || mask_[unit] != 0; }
    unsigned char byteAt(std::size_t unit) const { return bytes_[unit]; }

private:
    CompiledPattern() = default;
    bool matchesAt(const unsigned char* at) const;

    std::vector<unsigned char> bytes_;  // each unit's byte; 0 for a wildcard
    std::vector<unsigned char> mask_;   // each unit's 0xFF, or 0 for a wildcard; empty: no wildcards
    bool hasAnchor_ = false;            // some unit is not a wildcard
    bool caseless_ = false;
    bool never_ = false;
};

}  // namespace tarnwick
