#include "PortExtensions.h"

#include <cstring>
#include <optional>
#include <string>

namespace tarnwick {

namespace {

void PutInt(std::vector<unsigned char>& out, std::int32_t value) {
    auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<unsigned char>(bits >> shift));
    }
}

void PutString(std::vector<unsigned char>& out, const std::string& text) {
    PutInt(out, static_cast<std::int32_t>(text.size() + 1));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

struct PortSettings {
    std::string listenAddress;
    std::vector<std::string> allowFrom;
};

// Reads the fields of the block up to its end; the first field that cannot be read
// whole is kept as the failure, and every later read fails too.
class BlockReader {
public:
    BlockReader(const unsigned char* data, std::size_t offset, std::size_t end)
        : data_(data), offset_(offset), end_(end) {}

    std::size_t offset() const { return offset_; }
    std::size_t remaining() const { return end_ - offset_; }
    bool failed() const { return failure_.has_value(); }

    std::optional<std::int32_t> getInt(const std::string& field) {
        if (failed()) {
            return std::nullopt;
        }
        if (remaining() < 4) {
            fail(offset_, field, "the extension block ends inside this field");
            return std::nullopt;
        }
        std::uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            bits |= static_cast<std::uint32_t>(data_[offset_ + i]) << (8 * i);
        }
        offset_ += 4;
        return static_cast<std::int32_t>(bits);
    }

    // A count of strings, each of which takes at least its 4-byte size of what is left.
    std::optional<std::int32_t> getCount(const std::string& field) {
        std::size_t at = offset_;
        auto count = getInt(field);
        if (count && (*count < 0 || static_cast<std::size_t>(*count) > remaining() / 4)) {
            fail(at, field, "count " + std::to_string(*count) + " does not fit the block");
            return std::nullopt;
        }
        return count;
    }

    std::optional<std::string> getString(const std::string& field) {
        std::size_t at = offset_;
        auto declared = getInt(field + " size");
        if (!declared) {
            return std::nullopt;
        }
        if (*declared < 0 || static_cast<std::size_t>(*declared) > remaining()) {
            fail(at, field + " size",
                 "string size " + std::to_string(*declared) + " does not fit the block");
            return std::nullopt;
        }
        const char* begin = reinterpret_cast<const char*>(data_ + offset_);
        auto length = static_cast<std::size_t>(*declared);
        offset_ += length;
        return std::string(begin, ::strnlen(begin, length));
    }

    void fail(std::size_t at, const std::string& field, const std::string& reason) {
        if (!failed()) {
            failure_ = Failure{at, field, reason};
        }
    }

    void report(LoadReport& report) const {
        report.outcome = LoadReport::Outcome::Incomplete;
        report.offset = failure_->offset;
        report.field = failure_->field;
        report.reason = failure_->reason;
        report.extensionsLost = true;
    }

private:
    struct Failure {
        std::size_t offset;
        std::string field;
        std::string reason;
    };

    const unsigned char* data_;
    std::size_t offset_;
    std::size_t end_;
    std::optional<Failure> failure_;
};

std::optional<PortSettings> ReadPortSettings(BlockReader& in, std::size_t number) {
    const std::string where = "extension block, port " + std::to_string(number) + ", ";
    PortSettings settings;
    auto listenAddress = in.getString(where + "listenAddress");
    auto count = in.getCount(where + "allowFrom count");
    if (in.failed()) {
        return std::nullopt;
    }
    settings.listenAddress = std::move(*listenAddress);
    for (std::int32_t i = 0; i < *count; ++i) {
        auto entry = in.getString(where + "allowFrom " + std::to_string(i + 1));
        if (!entry) {
            return std::nullopt;
        }
        settings.allowFrom.push_back(std::move(*entry));
    }
    return settings;
}

void ReportTrailingBytes(LoadReport& report, std::size_t offset, std::size_t count,
                         const char* after) {
    report.outcome = LoadReport::Outcome::Incomplete;
    report.offset = offset;
    report.field = "end of file";
    report.reason = std::to_string(count) + " bytes follow the " + after;
}

}  // namespace

void PortExtensions::Append(const PortTable& ports, std::vector<unsigned char>& image) {
    bool used = false;
    for (const auto& port : ports) {
        used = used || port->hasAddressSettings();
    }
    if (!used) {
        return;
    }
    std::vector<unsigned char> body;
    for (const auto& port : ports) {
        PutString(body, port->listenAddress);
        PutInt(body, static_cast<std::int32_t>(port->allowFrom.size()));
        for (const std::string& entry : port->allowFrom) {
            PutString(body, entry);
        }
    }
    image.insert(image.end(), std::begin(MAGIC), std::end(MAGIC));
    PutInt(image, static_cast<std::int32_t>(body.size()));
    image.insert(image.end(), body.begin(), body.end());
}

void PortExtensions::Read(const unsigned char* data, std::size_t size, std::size_t offset,
                          PortTable& ports, LoadReport& report) {
    if (size - offset < sizeof MAGIC || std::memcmp(data + offset, MAGIC, sizeof MAGIC) != 0) {
        ReportTrailingBytes(report, offset, size - offset, "last port entry");
        return;
    }
    BlockReader header(data, offset + sizeof MAGIC, size);
    auto length = header.getInt("extension block length");
    if (length && (*length < 0 || static_cast<std::size_t>(*length) > header.remaining())) {
        header.fail(offset + sizeof MAGIC, "extension block length",
                    "length " + std::to_string(*length) + " does not fit the " +
                        std::to_string(header.remaining()) + " bytes after it");
    }
    if (header.failed()) {
        header.report(report);
        return;
    }
    const std::size_t end = header.offset() + static_cast<std::size_t>(*length);
    BlockReader in(data, header.offset(), end);
    std::vector<PortSettings> settings;
    for (std::size_t i = 0; i < ports.size() && !in.failed(); ++i) {
        if (auto one = ReadPortSettings(in, i + 1)) {
            settings.push_back(std::move(*one));
        }
    }
    if (!in.failed() && in.remaining() > 0) {
        in.fail(in.offset(), "extension block",
                std::to_string(in.remaining()) + " bytes follow the last port's settings");
    }
    if (in.failed()) {
        in.report(report);
        return;
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
        ports[i]->listenAddress = std::move(settings[i].listenAddress);
        ports[i]->allowFrom = std::move(settings[i].allowFrom);
    }
    if (end < size) {
        ReportTrailingBytes(report, end, size - end, "extension block");
    }
}

}  // namespace tarnwick
