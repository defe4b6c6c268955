#include "config/ConfigImage.h"

#include <optional>

#include "config/FieldChecks.h"
#include "config/ImageReader.h"
#include "config/ImageWriter.h"
#include "config/PortExtensions.h"

namespace tarnwick {

namespace {

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
    out.putInt(PortExtensions::Needed(ports) ? CONFIG_VERSION_EXTENDED : CONFIG_VERSION);
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

namespace {

// The version (into `versionRead`), the port count and the port entries, into `result`;
// false when it stopped early (the failure is in `in`).
bool ReadEntries(ImageReader& in, LoadResult& result, std::int32_t& versionRead) {
    auto version = in.getInt("version");
    if (!version) {
        return false;
    }
    if (*version != CONFIG_VERSION && *version != CONFIG_VERSION_NO_TIMEOUT &&
        *version != CONFIG_VERSION_EXTENDED) {
        in.failAt(0, "version",
                  "version " + std::to_string(*version) + " is not 1000, 1001 or 1002");
        return false;
    }
    versionRead = *version;
    auto portCount = in.getCount("portCount");
    if (!portCount) {
        return false;
    }
    // Every port entry holds at least 20 bytes, so a hostile count stops at the first
    // short read long before it could cost time or memory.
    for (std::int32_t i = 0; i < *portCount; ++i) {
        if (i == MAX_PORTS) {
            in.fail("port " + std::to_string(i + 1),
                    "the file declares " + std::to_string(*portCount) + " ports, more than the " +
                        std::to_string(MAX_PORTS) + " a configuration may hold");
            return false;
        }
        auto port = ReadPort(in, *version, i + 1);
        if (!port) {
            return false;
        }
        result.ports.push_back(std::move(port));
        result.report.portsRead = static_cast<int>(result.ports.size());
    }
    return true;
}

}  // namespace

LoadResult ConfigImage::Decode(const unsigned char* data, std::size_t size) {
    LoadResult result;
    ImageReader in(data, 0, size, "file");
    std::int32_t version = 0;
    if (!ReadEntries(in, result, version)) {
        in.report(result.report);
    } else if (in.remaining() > 0 || version == CONFIG_VERSION_EXTENDED) {
        PortExtensions::Read(data, size, in.offset(), version, result.ports, result.report);
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
                   "): " + reason + "; " +
                   (portsWithheld ? "no port is loaded, since the settings that restrict them "
                                    "cannot be read"
                                  : kept + " kept");
    }
    return where;
}

}  // namespace tarnwick
