#include "config/AddressPrefix.h"

#include <string>

namespace tarnwick {

namespace {

std::optional<int> ParseLength(std::string_view digits, int maximum) {
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    int length = std::stoi(std::string(digits));
    return length <= maximum ? std::optional<int>(length) : std::nullopt;
}

}  // namespace

std::optional<AddressPrefix> AddressPrefix::Parse(std::string_view text) {
    std::size_t slash = text.find('/');
    auto network = IpAddress::Parse(text.substr(0, slash));
    if (!network) {
        return std::nullopt;
    }
    const int bits = static_cast<int>(network->size() * 8);
    int length = bits;
    if (slash != std::string_view::npos) {
        auto parsed = ParseLength(text.substr(slash + 1), bits);
        if (!parsed) {
            return std::nullopt;
        }
        length = *parsed;
    }
    if (auto v4 = network->unmapped(); v4 && length >= 96) {
        return AddressPrefix(*v4, length - 96);
    }
    return AddressPrefix(*network, length);
}

bool AddressPrefix::contains(const IpAddress& address) const {
    if (address.family() != network_.family()) {
        return false;
    }
    const auto& a = address.bytes();
    const auto& b = network_.bytes();
    int whole = length_ / 8;
    for (int i = 0; i < whole; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    int rest = length_ % 8;
    if (rest == 0) {
        return true;
    }
    auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace tarnwick
