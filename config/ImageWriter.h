#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

// Appends fields in the configuration image's encoding: little-endian 32-bit integers,
// and strings as their size (length + 1), the bytes and a terminating 0.
class ImageWriter {
public:
    void putInt(std::int32_t value) {
        auto bits = static_cast<std::uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8) {
            bytes_.push_back(static_cast<unsigned char>(bits >> shift));
        }
    }

    void putString(const std::string& text) {
        putInt(static_cast<std::int32_t>(text.size() + 1));
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back(0);
    }

    void putBytes(const std::vector<unsigned char>& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }

    std::size_t size() const { return bytes_.size(); }
    std::vector<unsigned char> take() { return std::move(bytes_); }

private:
    std::vector<unsigned char> bytes_;
};

}  // namespace tarnwick
