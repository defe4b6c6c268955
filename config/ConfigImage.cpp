#include "ConfigImage.h"

#include <cstring>
#include <optional>

#include "PortExtensions.h"
#include "FieldChecks.h"

namespace tarnwick {

namespace {

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

    std::vector<unsigned char> take() { return std::move(bytes_); }

private:
    std::vector<unsigned char> bytes_;
};

// Reads fields in order; the first one that cannot be read whole records where and why
// in the report and makes every later read fail too.
class ImageReader {
public:
    ImageReader(const unsigned char* data, std::size_t size, LoadReport& report)
        : data_(data), size_(size), report_(report) {}

    bool failed() const { return failed_; }
    std::size_t remaining() const { return size_ - offset_; }
    std::size_t offset() const { return offset_; }

    std::optional<std::int32_t> getInt(const std::string& field) {
        if (failed_) {
            return std::nullopt;
        }
        if (remaining() < 4) {
            fail(field, "the file ends inside this field");
            return std::nullopt;
        }
        std::uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            bits |= static_cast<std::uint32_t>(data_[offset_ + i]) << (8 * i);
        }
        offset_ += 4;
        return static_cast<std::int32_t>(bits);
    }

    std::optional<std::int32_t> getCount(const std::string& field) {
        std::size_t at = offset_;
        auto count = getInt(field);
        if (count && *count < 0) {
            failAt(at, field, "negative count " + std::to_string(*count));
            return std::nullopt;
        }
        return count;
    }

    // A string is its size n (length + 1) and n bytes; the text ends at the first 0 byte.
    std::optional<std::string> getString(const std::string& field) {
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
        if (length > size_) {
            failAt(at, field + " size",
                   "string size " + std::to_string(length) + " exceeds the file's length " +
                       std::to_string(size_));
            return std::nullopt;
        }
        if (length > remaining()) {
            fail(field, "the file ends inside this field");
            return std::nullopt;
        }
        const char* begin = reinterpret_cast<const char*>(data_ + offset_);
        offset_ += length;
        return std::string(begin, ::strnlen(begin, length));
    }

    void failAt(std::size_t at, const std::string& field, const std::string& reason) {
        if (failed_) {
            return;
        }
        failed_ = true;
        report_.outcome = LoadReport::Outcome::Incomplete;
        report_.offset = at;
        report_.field = field;
        report_.reason = reason;
    }

    void fail(const std::string& field, const std::string& reason) {
        failAt(offset_, field, reason);
    }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
    bool failed_ = false;
    LoadReport& report_;
};

std::unique_ptr<ForwardingRule> ReadRule(ImageReader& in, const std::string& where) {
    auto rule = std::make_unique<ForwardingRule>();
    auto searchType = in.getInt(where + "searchType");
    auto caseSensitive = in.getInt(where + "caseSensitive");
    auto forwardPort = in.getInt(where + "forwardPort");
    auto forwardIp = in.getString(where + "forwardIp");
    auto ruleName = in.getString(where + "ruleName");
    auto searchData = in.getString(where + "searchData");
    if (in.failed()) {
        return nullptr;
    }
    rule->searchType = *searchType;
    rule->caseSensitive = *caseSensitive;
    rule->forwardPort = *forwardPort;
    rule->forwardIp = std::move(*forwardIp);
    rule->ruleName = std::move(*ruleName);
    rule->searchData = std::move(*searchData);
    return rule;
}

std::unique_ptr<ForwardingPort> ReadPort(ImageReader& in, std::int32_t version, int number) {
    const std::string where = "port " + std::to_string(number) + ", ";
    auto port = std::make_unique<ForwardingPort>();
    auto protocol = in.getInt(where + "protocol");
    auto listenPort = in.getInt(where + "listenPort");
    auto forwardPort = in.getInt(where + "forwardPort");
    std::optional<std::int32_t> timeout = DEFAULT_TIMEOUT_SECONDS;
    if (version > CONFIG_VERSION_NO_TIMEOUT) {
        timeout = in.getInt(where + "timeoutSeconds");
    }
    auto forwardIp = in.getString(where + "forwardIp");
    const std::size_t ruleCountAt = in.offset();
    // A negative count reads no rules, and the port is a Standard one.
    auto ruleCount = in.getInt(where + "ruleCount");
    if (ruleCount && *ruleCount > MAX_RULES_PER_PORT) {
        in.failAt(ruleCountAt, where + "ruleCount",
                  std::to_string(*ruleCount) + " rules, more than the " +
                      std::to_string(MAX_RULES_PER_PORT) + " a port may hold");
    }
    if (in.failed()) {
        return nullptr;
    }
    port->protocol = *protocol;
    port->listenPort = *listenPort;
    port->forwardPort = *forwardPort;
    port->timeoutSeconds = *timeout;
    port->forwardIp = std::move(*forwardIp);
    for (std::int32_t i = 0; i < *ruleCount; ++i) {
        auto rule = ReadRule(in, where + "rule " + std::to_string(i + 1) + ", ");
        if (!rule) {
            return nullptr;  // the port being read is discarded with its rules
        }
        port->appendRule(std::move(rule));
    }
    return port;
}

}  // namespace

std::vector<unsigned char> ConfigImage::Encode(const PortTable& ports) {
    ImageWriter out;
    out.putInt(CONFIG_VERSION);
    out.putInt(static_cast<std::int32_t>(ports.size()));
    for (const auto& port : ports) {
        out.putInt(port->protocol);
        out.putInt(port->listenPort);
        out.putInt(port->forwardPort);
        out.putInt(port->timeoutSeconds);
        out.putString(port->forwardIp);
        out.putInt(static_cast<std::int32_t>(port->rules.size()));
        for (const auto& rule : port->rules) {
            out.putInt(rule->searchType);
            out.putInt(rule->caseSensitive);
            out.putInt(rule->forwardPort);
            out.putString(rule->forwardIp);
            out.putString(rule->ruleName);
            out.putString(rule->searchData);
        }
    }
    std::vector<unsigned char> image = out.take();
    PortExtensions::Append(ports, image);
    return image;
}

LoadResult ConfigImage::Decode(const unsigned char* data, std::size_t size) {
    LoadResult result;
    ImageReader in(data, size, result.report);
    auto version = in.getInt("version");
    if (!version) {
        return result;
    }
    if (*version != CONFIG_VERSION && *version != CONFIG_VERSION_NO_TIMEOUT) {
        in.failAt(0, "version", "version " + std::to_string(*version) + " is not 1000 or 1001");
        return result;
    }
    auto portCount = in.getCount("portCount");
    if (!portCount) {
        return result;
    }
    // Every port entry holds at least 20 bytes, so a hostile count stops at the first
    // short read long before it could cost time or memory.
    for (std::int32_t i = 0; i < *portCount; ++i) {
        if (i == MAX_PORTS) {
            in.fail("port " + std::to_string(i + 1),
                    "the file declares " + std::to_string(*portCount) + " ports, more than the " +
                        std::to_string(MAX_PORTS) + " a configuration may hold");
            return result;
        }
        auto port = ReadPort(in, *version, i + 1);
        if (!port) {
            return result;
        }
        result.ports.push_back(std::move(port));
        result.report.portsRead = static_cast<int>(result.ports.size());
    }
    if (in.remaining() > 0) {
        PortExtensions::Read(data, size, in.offset(), result.ports, result.report);
    }
    return result;
}

std::string LoadReport::describe() const {
    std::string where = path.empty() ? std::string("configuration") : path;
    std::string kept = std::to_string(portsRead) + (portsRead == 1 ? " port" : " ports");
    switch (outcome) {
        case Outcome::Loaded:
            return where + ": loaded " + kept;
        case Outcome::Missing:
            return where + ": no such file, no ports";
        case Outcome::Unreadable:
            return where + ": cannot be read: " + reason;
        case Outcome::Incomplete:
            return where + ": stopped at byte " + std::to_string(offset) + " (" + field +
                   "): " + reason + "; " + kept + " kept" +
                   (extensionsLost ? ", without listen addresses and allowed clients" : "");
    }
    return where;
}

}  // namespace tarnwick
