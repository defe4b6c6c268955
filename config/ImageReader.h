#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "config/ConfigImage.h"

namespace tarnwick {

// Reads the fields of one span of a configuration image in order (the encoding of
// ImageWriter). The first field that cannot be read whole is kept as the failure, with
// its byte offset in the image, and every later read fails too, so a caller can read a
// run of fields and check once.
class ImageReader {
public:
    struct Failure {
        std::size_t offset;  // in the whole image
        std::string field;
        std::string reason;
    };

    // Reads data[begin, end); `span` names it in reasons ("file", "extension block").
    ImageReader(const unsigned char* data, std::size_t begin, std::size_t end, std::string span)
        : data_(data), begin_(begin), offset_(begin), end_(end), span_(std::move(span)) {}

    bool failed() const { return failure_.has_value(); }
    std::size_t offset() const { return offset_; }
    std::size_t remaining() const { return end_ - offset_; }

    std::optional<std::int32_t> getInt(const std::string& field);
    // A count that is not negative; with `minItemBytes`, also one whose items, each at least
    // that long, can fit in what is left of the span.
    std::optional<std::int32_t> getCount(const std::string& field, std::size_t minItemBytes = 0);
    // A string is its size n (length + 1) and n bytes; the text ends at the first 0 byte.
    std::optional<std::string> getString(const std::string& field);

    // Passes over `count` bytes, or fails when fewer are left.
    void skip(std::size_t count);
    // A reader of the next `count` bytes, which the caller has checked are there; `take`
    // then moves past what it read and keeps its failure.
    ImageReader sub(std::size_t count, std::string span) const {
        return ImageReader(data_, offset_, offset_ + count, std::move(span));
    }
    void take(const ImageReader& part);

    void failAt(std::size_t at, const std::string& field, const std::string& reason);
    void fail(const std::string& field, const std::string& reason) {
        failAt(offset_, field, reason);
    }
    // The failure as an Incomplete load; nothing when there is none.
    void report(LoadReport& report) const;

private:
    const unsigned char* data_;
    std::size_t begin_;
    std::size_t offset_;
    std::size_t end_;
    std::string span_;
    std::optional<Failure> failure_;
};

}  // namespace tarnwick
