#include "engine/routing/KeyTable.h"

#include <algorithm>
#include <bit>

namespace tarnwick {

namespace {

constexpr std::size_t SLOTS_PER_KEY = 2;
constexpr std::size_t FILTER_BITS_PER_KEY = 16;
constexpr std::size_t MIN_FILTER_BITS = 64;

int ShiftFor(std::size_t powerOfTwo) {
    return 64 - std::countr_zero(powerOfTwo);
}

}  // namespace

KeyTable::KeyTable(std::size_t length, bool folded)
    : length_(length),
      folded_(folded),
      keyMask_(length >= 4 ? UINT32_MAX : (std::uint32_t{1} << (8 * length)) - 1) {}

void KeyTable::add(std::uint32_t key, const Entry& entry) {
    firstPattern_ = std::min(firstPattern_, entry.pattern);
    added_.emplace_back(key, entry);
}

void KeyTable::build() {
    // By key, and within a key in the order added, which is the patterns' order.
    std::stable_sort(added_.begin(), added_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t keys = 0;
    for (std::size_t i = 0; i < added_.size(); ++i) {
        keys += i == 0 || added_[i].first != added_[i - 1].first ? 1 : 0;
    }
    const std::size_t slots = std::bit_ceil(std::max<std::size_t>(2, keys * SLOTS_PER_KEY));
    const std::size_t bits = std::bit_ceil(std::max(MIN_FILTER_BITS, keys * FILTER_BITS_PER_KEY));
    slots_.assign(slots, Slot{0, 0, 0});
    slotShift_ = ShiftFor(slots);
    filter_.assign(bits / 64, 0);
    filterShift_ = ShiftFor(bits);
    entries_.reserve(added_.size());
    for (std::size_t i = 0; i < added_.size();) {
        const std::uint32_t key = added_[i].first;
        const auto begin = static_cast<std::uint32_t>(entries_.size());
        for (; i < added_.size() && added_[i].first == key; ++i) {
            entries_.push_back(added_[i].second);
        }
        insert(key, begin, static_cast<std::uint32_t>(entries_.size()));
    }
    added_.clear();
    added_.shrink_to_fit();
}

void KeyTable::insert(std::uint32_t key, std::uint32_t begin, std::uint32_t end) {
    std::size_t slot = slotOf(key);
    while (slots_[slot].end != 0) {
        slot = (slot + 1) & (slots_.size() - 1);
    }
    slots_[slot] = {key, begin, end};
    const std::uint64_t bit = (key * FILTER_MULTIPLIER) >> filterShift_;
    filter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

}  // namespace tarnwick
