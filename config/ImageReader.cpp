#include "config/ImageReader.h"

#include <cstring>

namespace tarnwick {

std::optional<std::int32_t> ImageReader::getInt(const std::string& field) {
    if (failed()) {
        return std::nullopt;
    }
    if (remaining() < 4) {
        fail(field, "the " + span_ + " ends inside this field");
        return std::nullopt;
    }
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) {
        bits |= static_cast<std::uint32_t>(data_[offset_ + i]) << (8 * i);
    }
    offset_ += 4;
    return static_cast<std::int32_t>(bits);
}

std::optional<std::int32_t> ImageReader::getCount(const std::string& field,
                                                  std::size_t minItemBytes) {
    std::size_t at = offset_;
    auto count = getInt(field);
    if (count && *count < 0) {
        failAt(at, field, "negative count " + std::to_string(*count));
        return std::nullopt;
    }
    if (count && minItemBytes > 0 && static_cast<std::size_t>(*count) > remaining() / minItemBytes) {
        failAt(at, field, "count " + std::to_string(*count) + " does not fit the " + span_);
        return std::nullopt;
    }
    return count;
}

std::optional<std::string> ImageReader::getString(const std::string& field) {
    std::size_t at = offset_;
    auto declared = getInt(field + " size");
    if (!declared) {
        return std::nullopt;
    }
    if (*declared < 0) {
        failAt(at, field + " size", "negative string size " + std::to_string(*declared));
        return std::nullopt;
    }
    auto length = static_cast<std::size_t>(*declared);
    if (length > end_ - begin_) {
        failAt(at, field + " size",
               "string size " + std::to_string(length) + " exceeds the " + span_ + "'s length " +
                   std::to_string(end_ - begin_));
        return std::nullopt;
    }
    if (length > remaining()) {
        fail(field, "the " + span_ + " ends inside this field");
        return std::nullopt;
    }
    const char* text = reinterpret_cast<const char*>(data_ + offset_);
    offset_ += length;
    return std::string(text, ::strnlen(text, length));
}

void ImageReader::skip(std::size_t count) {
    if (failed()) {
        return;
    }
    if (count > remaining()) {
        fail(span_, "the " + span_ + " ends inside this field");
        return;
    }
    offset_ += count;
}

void ImageReader::take(const ImageReader& part) {
    if (failed()) {
        return;
    }
    offset_ = part.offset_;
    failure_ = part.failure_;
}

void ImageReader::failAt(std::size_t at, const std::string& field, const std::string& reason) {
    if (!failed()) {
        failure_ = Failure{at, field, reason};
    }
}

void ImageReader::report(LoadReport& report) const {
    if (!failure_) {
        return;
    }
    report.outcome = LoadReport::Outcome::Incomplete;
    report.offset = failure_->offset;
    report.field = failure_->field;
    report.reason = failure_->reason;
}

}  // namespace tarnwick
