#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tarnwick {

// The keys of one length, 1 to MAX_KEY bytes, by which patterns are found in one form of
// the data: as received, or with A-Z folded for the case-insensitive patterns. A key is a
// run of a pattern's literal bytes; the key found at a place of the data names the
// patterns that hold it, each to be compared whole where the key puts it. Filled, then
// built once; read-only after that, so threads may look keys up at once.
class KeyTable {
public:
    static constexpr std::size_t MAX_KEY = 4;
    static constexpr std::uint32_t NONE = UINT32_MAX;

    // A pattern under its key.
    struct Entry {
        std::uint32_t pattern;  // its index, the index of its rule
        std::uint32_t keyAt;    // where the key starts in the pattern
        std::uint32_t size;     // the pattern's units
        // One more literal unit of the pattern, compared before the whole pattern: the
        // unit's place and byte (the key's first when there is no other).
        std::uint32_t checkAt;
        unsigned char checkByte;
    };

    KeyTable(std::size_t length, bool folded);

    std::size_t length() const { return length_; }
    bool folded() const { return folded_; }
    // The bits of a word of data (see WordAt) that make its key.
    std::uint32_t keyMask() const { return keyMask_; }
    // The lowest pattern index in the table; NONE while it is empty.
    std::uint32_t firstPattern() const { return firstPattern_; }

    // Up to four bytes from `at`, the first in the lowest 8 bits; 0 for those past
    // `available`.
    static std::uint32_t WordAt(const unsigned char* at, std::size_t available) {
        if (available >= 4) {
            return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
        }
        std::uint32_t word = 0;
        for (std::size_t i = 0; i < available; ++i) {
            word |= static_cast<std::uint32_t>(at[i]) << (8 * i);
        }
        return word;
    }

    // Adds a pattern under a key (the word of its bytes, masked); patterns come in
    // ascending index.
    void add(std::uint32_t key, const Entry& entry);
    // Makes the lookup, once every pattern is in.
    void build();

    // The patterns under the key, in ascending index; none when the key is not held.
    std::span<const Entry> find(std::uint32_t key) const {
        const std::uint64_t bit = (key * FILTER_MULTIPLIER) >> filterShift_;
        if ((filter_[bit / 64] >> (bit % 64) & 1) == 0) {
            return {};
        }
        for (std::size_t slot = slotOf(key);; slot = (slot + 1) & (slots_.size() - 1)) {
            const Slot& at = slots_[slot];
            if (at.end == 0) {
                return {};
            }
            if (at.key == key) {
                return {entries_.data() + at.begin, entries_.data() + at.end};
            }
        }
    }

private:
    static constexpr std::uint64_t SLOT_MULTIPLIER = 0x9E3779B97F4A7C15ULL;
    static constexpr std::uint64_t FILTER_MULTIPLIER = 0xC2B2AE3D27D4EB4FULL;

    struct Slot {
        std::uint32_t key;
        std::uint32_t begin;  // its entries: entries_[begin] up to entries_[end]
        std::uint32_t end;    // 0: the slot is empty
    };

    std::size_t slotOf(std::uint32_t key) const {
        return static_cast<std::size_t>((key * SLOT_MULTIPLIER) >> slotShift_);
    }
    void insert(std::uint32_t key, std::uint32_t begin, std::uint32_t end);

    std::size_t length_;
    bool folded_;
    std::uint32_t keyMask_;
    std::uint32_t firstPattern_ = NONE;
    std::vector<std::pair<std::uint32_t, Entry>> added_;  // until build()
    std::vector<Entry> entries_;  // grouped by key, each group in ascending pattern index
    std::vector<Slot> slots_;     // open addressing, a power of two of them
    int slotShift_ = 63;
    // One bit per hash of a key, set for the keys held: it turns most places of the data
    // away before the slots are looked at, and is small enough to stay in the cache.
    std::vector<std::uint64_t> filter_;
    int filterShift_ = 63;
};

}  // namespace tarnwick
