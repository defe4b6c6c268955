#include "config/PortExtensions.h"

#include <cstring>
#include <string>

#include "config/ImageReader.h"
#include "config/ImageWriter.h"

namespace tarnwick {

namespace {

constexpr std::size_t FIELD_HEADER_BYTES = 8;  // tag and size

// ---- Writing -----------------------------------------------------------------------

// The fields of one port, each as tag, size and value.
class FieldWriter {
public:
    void putString(std::int32_t tag, const std::string& text) {
        ImageWriter value;
        value.putString(text);
        put(tag, value);
    }

    void putStrings(std::int32_t tag, const std::vector<std::string>& texts) {
        ImageWriter value;
        value.putInt(static_cast<std::int32_t>(texts.size()));
        for (const std::string& text : texts) {
            value.putString(text);
        }
        put(tag, value);
    }

    void putInts(std::int32_t tag, const std::vector<std::int32_t>& numbers) {
        ImageWriter value;
        value.putInt(static_cast<std::int32_t>(numbers.size()));
        for (std::int32_t number : numbers) {
            value.putInt(number);
        }
        put(tag, value);
    }

    void putInt(std::int32_t tag, std::int32_t number) {
        ImageWriter value;
        value.putInt(number);
        put(tag, value);
    }

    // The port's field count, then its fields.
    void appendTo(ImageWriter& body) {
        body.putInt(count_);
        std::vector<unsigned char> bytes = fields_.take();
        body.putBytes(bytes);
    }

private:
    void put(std::int32_t tag, ImageWriter& value) {
        std::vector<unsigned char> bytes = value.take();
        fields_.putInt(tag);
        fields_.putInt(static_cast<std::int32_t>(bytes.size()));
        fields_.putBytes(bytes);
        ++count_;
    }

    ImageWriter fields_;
    std::int32_t count_ = 0;
};

// Only the settings that differ from their defaults are written.
void WriteFields(const ForwardingPort& port, FieldWriter& fields) {
    if (!port.listenAddress.empty()) {
        fields.putString(PortExtensions::TAG_LISTEN_ADDRESS, port.listenAddress);
    }
    if (!port.allowFrom.empty()) {
        fields.putStrings(PortExtensions::TAG_ALLOW_FROM, port.allowFrom);
    }
    if (port.proxyProtocol != PROXY_PROTOCOL_OFF) {
        fields.putInt(PortExtensions::TAG_PROXY_PROTOCOL, port.proxyProtocol);
    }
    if (port.acceptProxyProtocol) {
        fields.putInt(PortExtensions::TAG_ACCEPT_PROXY_PROTOCOL, 1);
    }
    if (port.udpIdleSeconds != DEFAULT_UDP_IDLE_SECONDS) {
        fields.putInt(PortExtensions::TAG_UDP_IDLE_SECONDS, port.udpIdleSeconds);
    }
    if (port.udpMaxAssociations != DEFAULT_UDP_MAX_ASSOCIATIONS) {
        fields.putInt(PortExtensions::TAG_UDP_MAX_ASSOCIATIONS, port.udpMaxAssociations);
    }
    bool tlsRules = false;
    std::vector<std::int32_t> kinds;
    for (const auto& rule : port.rules) {
        kinds.push_back(static_cast<std::int32_t>(rule->kind));
        tlsRules = tlsRules || rule->isTls();
    }
    if (tlsRules) {
        fields.putInts(PortExtensions::TAG_RULE_KINDS, kinds);
    }
}

// The rules' kinds: one per rule of the port's entry, each a kind this reader knows. A
// TLS rule read as the text rule of its entry would match other connections.
void ReadRuleKinds(ImageReader& in, const std::string& where, ForwardingPort& port) {
    const std::size_t countAt = in.offset();
    auto count = in.getCount(where + "rule kinds count", 4);
    if (count && static_cast<std::size_t>(*count) != port.rules.size()) {
        in.failAt(countAt, where + "rule kinds count",
                  std::to_string(*count) + " rule kinds for " +
                      std::to_string(port.rules.size()) + " rules");
    }
    for (std::size_t i = 0; count && i < port.rules.size() && !in.failed(); ++i) {
        const std::size_t kindAt = in.offset();
        auto kind = in.getInt(where + "rule " + std::to_string(i + 1) + " kind");
        if (kind && (*kind < 0 || *kind > static_cast<std::int32_t>(RuleKind::TlsAlpn))) {
            in.failAt(kindAt, where + "rule " + std::to_string(i + 1) + " kind",
                      "rule kind " + std::to_string(*kind) + " is not known to this version");
        } else if (kind) {
            port.rules[i]->kind = static_cast<RuleKind>(*kind);
        }
    }
}

bool NeedsFields(const ForwardingPort& port) {
    FieldWriter fields;
    WriteFields(port, fields);
    ImageWriter body;
    fields.appendTo(body);
    return body.size() > 4;
}

// ---- Reading -----------------------------------------------------------------------

// Withholds every port: a restriction that cannot be read must not widen one.
void WithholdPorts(const ImageReader& in, PortTable& ports, LoadReport& report) {
    in.report(report);
    report.portsWithheld = true;
    report.portsRead = 0;
    ports.clear();
}

void ReportTrailingBytes(LoadReport& report, std::size_t offset, std::size_t count) {
    report.outcome = LoadReport::Outcome::Incomplete;
    report.offset = offset;
    report.field = "end of file";
    report.reason = std::to_string(count) + " bytes follow the extension block";
}

// A number field within [low, high] into `target`; anything else fails `in`.
void ReadBounded(ImageReader& in, const std::string& field, std::int32_t low, std::int32_t high,
                 std::int32_t& target) {
    const std::size_t at = in.offset();
    auto value = in.getInt(field);
    if (value && (*value < low || *value > high)) {
        in.failAt(at, field,
                  std::to_string(*value) + " is outside " + std::to_string(low) + " to " +
                      std::to_string(high));
    } else if (value) {
        target = *value;
    }
}

// Reads one field's value into `port`. A critical tag that this reader does not know
// fails `in`; an optional one is skipped.
void ReadField(ImageReader& in, std::int32_t tag, const std::string& where,
               ForwardingPort& port) {
    switch (tag) {
        case PortExtensions::TAG_LISTEN_ADDRESS:
            if (auto address = in.getString(where + "listenAddress")) {
                port.listenAddress = std::move(*address);
            }
            return;
        case PortExtensions::TAG_ALLOW_FROM: {
            auto count = in.getCount(where + "allowFrom count", 4);
            for (std::int32_t i = 0; count && i < *count && !in.failed(); ++i) {
                if (auto entry = in.getString(where + "allowFrom " + std::to_string(i + 1))) {
                    port.allowFrom.push_back(std::move(*entry));
                }
            }
            return;
        }
        case PortExtensions::TAG_PROXY_PROTOCOL:
            if (auto version = in.getInt(where + "proxyProtocol")) {
                port.proxyProtocol = *version;
            }
            return;
        case PortExtensions::TAG_ACCEPT_PROXY_PROTOCOL:
            if (auto accept = in.getInt(where + "acceptProxyProtocol")) {
                port.acceptProxyProtocol = *accept != 0;
            }
            return;
        case PortExtensions::TAG_UDP_IDLE_SECONDS:
            ReadBounded(in, where + "udpIdleSeconds", MIN_UDP_IDLE_SECONDS, MAX_UDP_IDLE_SECONDS,
                        port.udpIdleSeconds);
            return;
        case PortExtensions::TAG_UDP_MAX_ASSOCIATIONS:
            ReadBounded(in, where + "udpMaxAssociations", MIN_UDP_MAX_ASSOCIATIONS,
                        MAX_UDP_MAX_ASSOCIATIONS, port.udpMaxAssociations);
            return;
        case PortExtensions::TAG_RULE_KINDS:
            ReadRuleKinds(in, where, port);
            return;
        default:
            if (tag < PortExtensions::OPTIONAL_TAGS) {
                in.fail(where + "field " + std::to_string(tag),
                        "setting " + std::to_string(tag) +
                            " is not known to this version, and may restrict the port");
            } else {
                in.skip(in.remaining());  // an optional setting of a later version
            }
    }
}

void ReadTaggedPort(ImageReader& in, std::size_t number, ForwardingPort& port) {
    const std::string where = "extension block, port " + std::to_string(number) + ", ";
    auto count = in.getCount(where + "field count", FIELD_HEADER_BYTES);
    for (std::int32_t i = 0; count && i < *count && !in.failed(); ++i) {
        const std::string field = where + "field " + std::to_string(i + 1);
        auto tag = in.getInt(field + " tag");
        const std::size_t sizeAt = in.offset();
        auto size = in.getInt(field + " size");
        if (size && (*size < 0 || static_cast<std::size_t>(*size) > in.remaining())) {
            in.failAt(sizeAt, field + " size",
                      "size " + std::to_string(*size) + " does not fit the extension block");
        }
        if (in.failed()) {
            return;
        }
        ImageReader value = in.sub(static_cast<std::size_t>(*size), "extension block field");
        ReadField(value, *tag, where, port);
        if (!value.failed() && value.remaining() > 0) {
            value.fail(field, std::to_string(value.remaining()) +
                                  " bytes follow the value of setting " + std::to_string(*tag));
        }
        in.take(value);
    }
}

void ReadUntaggedPort(ImageReader& in, std::size_t number, ForwardingPort& port) {
    const std::string where = "extension block, port " + std::to_string(number) + ", ";
    ReadField(in, PortExtensions::TAG_LISTEN_ADDRESS, where, port);
    ReadField(in, PortExtensions::TAG_ALLOW_FROM, where, port);
}

}  // namespace

bool PortExtensions::Needed(const PortTable& ports) {
    for (const auto& port : ports) {
        if (NeedsFields(*port)) {
            return true;
        }
    }
    return false;
}

void PortExtensions::Append(const PortTable& ports, std::vector<unsigned char>& image) {
    if (!Needed(ports)) {
        return;
    }
    ImageWriter body;
    for (const auto& port : ports) {
        FieldWriter fields;
        WriteFields(*port, fields);
        fields.appendTo(body);
    }
    ImageWriter block;
    block.putBytes(std::vector<unsigned char>(std::begin(MAGIC), std::end(MAGIC)));
    block.putInt(static_cast<std::int32_t>(body.size()));
    block.putBytes(body.take());
    std::vector<unsigned char> bytes = block.take();
    image.insert(image.end(), bytes.begin(), bytes.end());
}

void PortExtensions::Read(const unsigned char* data, std::size_t size, std::size_t offset,
                          std::int32_t version, PortTable& ports, LoadReport& report) {
    const bool tagged = version == CONFIG_VERSION_EXTENDED;
    const unsigned char* magic = tagged ? MAGIC : MAGIC_UNTAGGED;
    ImageReader header(data, offset, size, "extension block");
    if (size - offset < sizeof MAGIC || std::memcmp(data + offset, magic, sizeof MAGIC) != 0) {
        header.fail("extension block",
                    size == offset ? "version " + std::to_string(version) +
                                         " promises an extension block, and the file ends"
                                   : std::to_string(size - offset) +
                                         " bytes follow the last port entry, and they are not "
                                         "an extension block");
        WithholdPorts(header, ports, report);
        return;
    }
    header.skip(sizeof MAGIC);
    const std::size_t lengthAt = header.offset();
    auto length = header.getInt("extension block length");
    if (length && (*length < 0 || static_cast<std::size_t>(*length) > header.remaining())) {
        header.failAt(lengthAt, "extension block length",
                      "length " + std::to_string(*length) + " does not fit the " +
                          std::to_string(header.remaining()) + " bytes after it");
    }
    if (header.failed()) {
        WithholdPorts(header, ports, report);
        return;
    }
    ImageReader in = header.sub(static_cast<std::size_t>(*length), "extension block");
    for (std::size_t i = 0; i < ports.size() && !in.failed(); ++i) {
        if (tagged) {
            ReadTaggedPort(in, i + 1, *ports[i]);
        } else {
            ReadUntaggedPort(in, i + 1, *ports[i]);
        }
    }
    if (!in.failed() && in.remaining() > 0) {
        in.fail("extension block",
                std::to_string(in.remaining()) + " bytes follow the last port's settings");
    }
    if (in.failed()) {
        WithholdPorts(in, ports, report);
        return;
    }
    header.take(in);
    if (header.remaining() > 0) {
        ReportTrailingBytes(report, header.offset(), header.remaining());
    }
}

}  // namespace tarnwick
