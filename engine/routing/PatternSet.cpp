#include "engine/routing/PatternSet.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "engine/routing/HexPairs.h"

namespace tarnwick {

using hexpairs::Fold;

namespace {

// What choosing a key costs: SHARED_COST for each pattern that took the same key before,
// which always outweighs how common its bytes are.
constexpr std::uint32_t SHARED_COST = 256;
// And for a byte that repeats the one before it, as in padding.
constexpr std::uint32_t REPEAT_COST = 4;
// One table per key length and form, each a bit in tablesByFirstByte_.
constexpr std::size_t MAX_TABLES = 2 * KeyTable::MAX_KEY;

// How often first data holds a byte, roughly: zeros, 0xFF and blanks fill binary headers
// and padding, lower-case letters and digits fill text; bytes above 0x7F are rarer.
std::uint32_t Commonness(unsigned char byte) {
    if (byte == 0x00 || byte == 0xFF || byte == ' ') {
        return 8;
    }
    if ((byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')) {
        return 4;
    }
    return byte < 0x80 ? 3 : 1;
}

// Each byte from A to Z raised by 0x20, four at once; every other byte as it is.
std::uint32_t FoldWord(std::uint32_t word) {
    constexpr std::uint32_t ONES = 0x01010101, HIGH = 0x80808080;
    const std::uint32_t low7 = word & 0x7F7F7F7F;
    const std::uint32_t atLeastA = low7 + (0x80 - 'A') * ONES;      // high bit: low7 >= 'A'
    const std::uint32_t aboveZ = low7 + (0x80 - 'Z' - 1) * ONES;    // high bit: low7 > 'Z'
    const std::uint32_t upper = atLeastA & ~aboveZ & ~word & HIGH;  // and the byte below 0x80
    return word | upper >> 2;
}

struct Key {
    std::size_t length = 0;  // 0: the pattern has no literal unit
    std::size_t at = 0;      // its first unit in the pattern
    std::uint32_t value = 0;
};

// The key's identity across the tables: form, length and bytes.
std::uint64_t KeyId(const Key& key, bool folded) {
    return static_cast<std::uint64_t>(folded) << 40 | static_cast<std::uint64_t>(key.length) << 32 |
           key.value;
}

std::uint32_t KeyValue(const CompiledPattern& pattern, std::size_t at, std::size_t length) {
    unsigned char bytes[KeyTable::MAX_KEY] = {};
    for (std::size_t k = 0; k < length; ++k) {
        bytes[k] = pattern.byteAt(at + k);
    }
    return KeyTable::WordAt(bytes, length);
}

// How common the key's bytes are. The first two count more: every place of the data that
// holds them is looked up.
std::uint32_t BytesCost(const CompiledPattern& pattern, std::size_t at, std::size_t length) {
    std::uint32_t cost = 0;
    for (std::size_t k = at; k < at + length; ++k) {
        const std::uint32_t weight = k == at ? 3 : k == at + 1 ? 2 : 1;
        cost += weight * Commonness(pattern.byteAt(k));
        cost += k > at && pattern.byteAt(k) == pattern.byteAt(k - 1) ? REPEAT_COST : 0;
    }
    return cost;
}

std::size_t LongestLiteralRun(const CompiledPattern& pattern) {
    std::size_t longest = 0;
    for (std::size_t k = 0, run = 0; k < pattern.size(); ++k) {
        run = pattern.isLiteral(k) ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// The key of a pattern: a run of literal units as long as the pattern has, up to MAX_KEY;
// of those, the one the fewest patterns took already, then the one of the rarest bytes,
// then the first. None (length 0) for a pattern of wildcards only.
Key ChooseKey(const CompiledPattern& pattern,
              const std::unordered_map<std::uint64_t, std::uint32_t>& taken) {
    const std::size_t length = std::min(LongestLiteralRun(pattern), KeyTable::MAX_KEY);
    Key best;
    std::uint32_t bestCost = UINT32_MAX;
    for (std::size_t k = 0, run = 0; length > 0 && k < pattern.size(); ++k) {
        run = pattern.isLiteral(k) ? run + 1 : 0;
        if (run < length) {
            continue;
        }
        const std::size_t at = k + 1 - length;
        const Key key{length, at, KeyValue(pattern, at, length)};
        const auto shared = taken.find(KeyId(key, pattern.caseless()));
        const std::uint32_t cost = (shared == taken.end() ? 0 : shared->second * SHARED_COST) +
                                   BytesCost(pattern, at, length);
        if (cost < bestCost) {
            bestCost = cost;
            best = key;
        }
    }
    return best;
}

// The literal unit outside the key with the rarest byte, the first of equals; the key's
// first unit when there is no other.
std::size_t CheckUnit(const CompiledPattern& pattern, const Key& key) {
    std::size_t check = key.at;
    std::uint32_t rarest = UINT32_MAX;
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        const bool inKey = k >= key.at && k < key.at + key.length;
        if (!inKey && pattern.isLiteral(k) && Commonness(pattern.byteAt(k)) < rarest) {
            rarest = Commonness(pattern.byteAt(k));
            check = k;
        }
    }
    return check;
}

}  // namespace

PatternSet::PatternSet(std::vector<CompiledPattern> patterns) : patterns_(std::move(patterns)) {
    tables_.reserve(MAX_TABLES);  // never moved: markStart numbers them by their place
    std::unordered_map<std::uint64_t, std::uint32_t> taken;  // patterns per key
    for (std::size_t i = 0; i < patterns_.size(); ++i) {
        if (!patterns_[i].neverMatches()) {
            file(static_cast<std::uint32_t>(i), taken);
        }
    }
    for (KeyTable& table : tables_) {
        table.build();
        firstKeyed_ = std::min(firstKeyed_, table.firstPattern());
    }
}

// Files a pattern under its key, or with the patterns of wildcards only.
void PatternSet::file(std::uint32_t index,
                      std::unordered_map<std::uint64_t, std::uint32_t>& taken) {
    const CompiledPattern& pattern = patterns_[index];
    const Key key = ChooseKey(pattern, taken);
    if (key.length == 0) {
        unanchored_.push_back({index, pattern.size()});
        return;
    }
    ++taken[KeyId(key, pattern.caseless())];
    const std::size_t check = CheckUnit(pattern, key);
    KeyTable& table = tableFor(key.length, pattern.caseless());
    table.add(key.value, {index, static_cast<std::uint32_t>(key.at),
                          static_cast<std::uint32_t>(pattern.size()),
                          static_cast<std::uint32_t>(check), pattern.byteAt(check)});
    markStart(table, pattern, key.at);
}

// Notes the bytes that data holding the key has where the key starts: for a key of the
// folded data, either case of a letter.
void PatternSet::markStart(const KeyTable& table, const CompiledPattern& pattern,
                           std::size_t keyAt) {
    const auto bit = static_cast<std::uint8_t>(1u << (&table - tables_.data()));
    const auto forms = [&](unsigned char byte) {
        const bool letter = pattern.caseless() && byte >= 'a' && byte <= 'z';
        return std::pair{byte, letter ? static_cast<unsigned char>(byte - 0x20) : byte};
    };
    const auto [first, firstUpper] = forms(pattern.byteAt(keyAt));
    tablesByFirstByte_[first] |= bit;
    tablesByFirstByte_[firstUpper] |= bit;
    if (table.length() < 2) {
        return;
    }
    pairTables_ |= bit;
    keyPairs_.resize(65536 / 64);
    const auto [second, secondUpper] = forms(pattern.byteAt(keyAt + 1));
    for (const unsigned pair : {first | second << 8, first | secondUpper << 8,
                                firstUpper | second << 8, firstUpper | secondUpper << 8}) {
        keyPairs_[pair / 64] |= std::uint64_t{1} << (pair % 64);
    }
}

KeyTable& PatternSet::tableFor(std::size_t length, bool folded) {
    for (KeyTable& table : tables_) {
        if (table.length() == length && table.folded() == folded) {
            return table;
        }
    }
    return tables_.emplace_back(length, folded);  // one per key length and form at most
}

std::uint32_t PatternSet::firstUnanchored(std::size_t length) const {
    for (const Unanchored& pattern : unanchored_) {
        if (pattern.size <= length) {
            return pattern.pattern;
        }
    }
    return KeyTable::NONE;
}

// The first of the entries' patterns below `best` that occurs where its key is at `at`;
// `best` when there is none.
std::uint32_t PatternSet::firstAt(std::span<const KeyTable::Entry> entries, bool folded,
                                  const unsigned char* data, std::size_t length, std::size_t at,
                                  std::uint32_t best) const {
    for (const KeyTable::Entry& entry : entries) {
        if (entry.pattern >= best) {
            break;
        }
        if (entry.keyAt > at || entry.size > length - (at - entry.keyAt)) {
            continue;  // it would start before the data or end after it
        }
        const std::size_t start = at - entry.keyAt;
        const unsigned char check = data[start + entry.checkAt];
        if ((folded ? Fold(check) : check) == entry.checkByte &&
            patterns_[entry.pattern].occursAt(data, length, start)) {
            return entry.pattern;
        }
    }
    return best;
}

int PatternSet::FirstMatch(const unsigned char* data, std::size_t length) const {
    std::uint32_t best = firstUnanchored(length);
    for (std::size_t at = 0; at < length && best > firstKeyed_; ++at) {
        unsigned tables = tablesByFirstByte_[data[at]];
        if ((tables & pairTables_) != 0 &&
            (at + 1 == length || !pairHeld(data[at], data[at + 1]))) {
            tables &= ~pairTables_;
        }
        if (tables == 0) {
            continue;
        }
        const std::uint32_t word = KeyTable::WordAt(data + at, length - at);
        for (; tables != 0; tables &= tables - 1) {
            const KeyTable& table = tables_[std::countr_zero(tables)];
            if (table.firstPattern() >= best || table.length() > length - at) {
                continue;
            }
            const std::uint32_t key = (table.folded() ? FoldWord(word) : word) & table.keyMask();
            best = firstAt(table.find(key), table.folded(), data, length, at, best);
        }
    }
    return best == KeyTable::NONE ? -1 : static_cast<int>(best);
}

}  // namespace tarnwick
