#include "engine/routing/CompiledPattern.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/routing/HexPairs.h"

namespace tarnwick {

using hexpairs::Fold;

const unsigned char* SearchedData::folded() const {
    if (!isFolded_) {
        folded_.assign(data_, data_ + length_);
        std::transform(folded_.begin(), folded_.end(), folded_.begin(), Fold);
        isFolded_ = true;
    }
    return folded_.data();
}

const SearchedData::Index& SearchedData::index(bool useFolded) const {
    Index& index = indexes_[useFolded ? 1 : 0];
    if (!isIndexed_[useFolded ? 1 : 0]) {
        const unsigned char* data = useFolded ? folded() : data_;
        for (std::size_t i = 0; i < length_; ++i) {
            ++index.start[data[i] + 1];
        }
        for (std::size_t v = 1; v < index.start.size(); ++v) {
            index.start[v] += index.start[v - 1];
        }
        index.positions.resize(length_);
        std::array<std::uint32_t, 256> next;
        std::copy(index.start.begin(), index.start.end() - 1, next.begin());
        for (std::size_t i = 0; i < length_; ++i) {
            index.positions[next[data[i]]++] = static_cast<std::uint32_t>(i);
        }
        isIndexed_[useFolded ? 1 : 0] = true;
    }
    return index;
}

CompiledPattern CompiledPattern::Hex(const std::string& pattern) {
    CompiledPattern compiled;
    const std::string digits = hexpairs::HexDigits(pattern);
    if (digits.size() % 2 != 0) {
        compiled.never_ = true;
        return compiled;
    }
    const std::size_t units = digits.size() / 2;
    compiled.bytes_.reserve(units);
    std::vector<unsigned char> mask(units, 0xFF);
    bool anyWildcard = false;
    for (std::size_t k = 0; k < units; ++k) {
        const char first = digits[2 * k], second = digits[2 * k + 1];
        if (hexpairs::IsWildcard(first, second)) {
            mask[k] = 0;
            anyWildcard = true;
            compiled.bytes_.push_back(0);
            continue;
        }
        const long value = hexpairs::PairValue(first, second);
        if (value < 0 || value > 0xFF) {
            compiled.never_ = true;  // no data byte equals this unit
        }
        compiled.bytes_.push_back(static_cast<unsigned char>(value));
        compiled.hasAnchor_ = true;
    }
    if (anyWildcard) {
        compiled.mask_ = std::move(mask);
    }
    compiled.never_ = compiled.never_ || units == 0;
    return compiled;
}

CompiledPattern CompiledPattern::Text(const std::string& pattern, bool caseSensitive) {
    CompiledPattern compiled;
    compiled.bytes_.assign(pattern.begin(), pattern.end());
    if (!caseSensitive) {
        std::transform(compiled.bytes_.begin(), compiled.bytes_.end(), compiled.bytes_.begin(),
                       Fold);
        compiled.caseless_ = true;
    }
    compiled.hasAnchor_ = !pattern.empty();
    compiled.never_ = pattern.empty();
    return compiled;
}

CompiledPattern CompiledPattern::ForRule(const ForwardingRule& rule) {
    if (rule.isTls()) {
        return Text(std::string(), false);  // a TLS rule looks at the ClientHello, not the bytes
    }
    if (rule.isHex()) {
        return Hex(rule.searchData);
    }
    return Text(rule.searchData, rule.caseSensitive != 0);
}

bool CompiledPattern::matchesAt(const unsigned char* at) const {
    if (mask_.empty()) {
        return std::memcmp(at, bytes_.data(), bytes_.size()) == 0;
    }
    for (std::size_t k = 0; k < bytes_.size(); ++k) {
        if ((at[k] & mask_[k]) != bytes_[k]) {
            return false;
        }
    }
    return true;
}

bool CompiledPattern::occursAt(const unsigned char* data, std::size_t length,
                               std::size_t at) const {
    const std::size_t m = bytes_.size();
    if (never_ || at > length || m > length - at) {
        return false;
    }
    if (!caseless_) {
        return matchesAt(data + at);
    }
    for (std::size_t k = 0; k < m; ++k) {
        if (Fold(data[at + k]) != bytes_[k]) {
            return false;
        }
    }
    return true;
}

// The anchor is the unit whose byte the data holds least often; only the places of that
// byte are candidates, each then compared whole.
bool CompiledPattern::occursIn(const SearchedData& data, std::size_t start) const {
    const std::size_t m = bytes_.size();
    const std::size_t n = data.length();
    if (never_ || start >= n || m > n - start) {
        return false;
    }
    if (!hasAnchor_) {
        return true;  // wildcards only: any m bytes do
    }
    const SearchedData::Index& index = data.index(caseless_);
    std::size_t anchor = 0;
    std::uint32_t fewest = UINT32_MAX;
    for (std::size_t k = 0; k < m && fewest != 0; ++k) {
        if (mask_.empty() || mask_[k] != 0) {
            const std::uint32_t count = index.start[bytes_[k] + 1] - index.start[bytes_[k]];
            if (count < fewest) {
                fewest = count;
                anchor = k;
            }
        }
    }
    const unsigned char* base = caseless_ ? data.folded() : data.bytes();
    const std::uint32_t* place = index.positions.data() + index.start[bytes_[anchor]];
    const std::uint32_t* end = place + fewest;
    for (; place != end; ++place) {
        if (*place < start + anchor) {
            continue;
        }
        const std::size_t at = *place - anchor;
        if (at > n - m) {
            return false;  // later places start later still
        }
        if (matchesAt(base + at)) {
            return true;
        }
    }
    return false;
}

}  // namespace tarnwick
