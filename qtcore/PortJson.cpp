#include "qtcore/PortJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <optional>

#include "config/FieldChecks.h"
#include "base/EscapedText.h"
#include "qtcore/JsonObjectReader.h"
#include "engine/routing/Matchers.h"

namespace tarnwick {

namespace {

// ---- writing ----------------------------------------------------------------------

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there does not start
// one (overlong forms, surrogates and values above U+10FFFF are not valid).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

void AppendString(QByteArray& out, const std::string& text) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        auto c = static_cast<unsigned char>(text[at]);
        std::size_t length = Utf8SequenceLength(text, at);
        char escape[8];
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\udc%02x", c);
            out += escape;
            at += 1;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(text.data() + at, static_cast<qsizetype>(length));
        }
        at += length;
    }
    out += '"';
}

void AppendField(QByteArray& out, const char* indent, const char* name, bool first) {
    out += first ? "" : ",";
    out += "\n";
    out += indent;
    out += '"';
    out += name;
    out += "\": ";
}

void AppendRule(QByteArray& out, const ForwardingRule& rule) {
    const char* in = "          ";
    AppendField(out, in, "ruleName", true);
    AppendString(out, rule.ruleName);
    AppendField(out, in, "searchType", false);
    out += '"';
    out += rule.kindName();
    out += '"';
    AppendField(out, in, "caseSensitive", false);
    out += rule.caseSensitive != 0 ? "true" : "false";
    AppendField(out, in, "searchData", false);
    AppendString(out, rule.searchData);
    AppendField(out, in, "forwardIp", false);
    AppendString(out, rule.forwardIp);
    AppendField(out, in, "forwardPort", false);
    out += QByteArray::number(rule.forwardPort);
}

void AppendPort(QByteArray& out, const ForwardingPort& port) {
    const char* in = "      ";
    AppendField(out, in, "protocol", true);
    out += port.isTcp() ? "\"tcp\"" : "\"udp\"";
    AppendField(out, in, "listenPort", false);
    out += QByteArray::number(port.listenPort);
    AppendField(out, in, "listenAddress", false);
    AppendString(out, port.listenAddress);
    AppendField(out, in, "allowFrom", false);
    out += "[";
    for (std::size_t i = 0; i < port.allowFrom.size(); ++i) {
        out += i == 0 ? "" : ", ";
        AppendString(out, port.allowFrom[i]);
    }
    out += "]";
    AppendField(out, in, "proxyProtocol", false);
    out += '"' + QByteArray(ProxyProtocolName(port.proxyProtocol)) + '"';
    AppendField(out, in, "acceptProxyProtocol", false);
    out += port.acceptProxyProtocol ? "true" : "false";
    AppendField(out, in, "forwardIp", false);
    AppendString(out, port.forwardIp);
    AppendField(out, in, "forwardPort", false);
    out += QByteArray::number(port.forwardPort);
    AppendField(out, in, "timeoutSeconds", false);
    out += QByteArray::number(port.timeoutSeconds);
    if (!port.isTcp() || port.hasUdpSettings()) {
        AppendField(out, in, "udpIdleSeconds", false);
        out += QByteArray::number(port.udpIdleSeconds);
        AppendField(out, in, "udpMaxAssociations", false);
        out += QByteArray::number(port.udpMaxAssociations);
    }
    AppendField(out, in, "rules", false);
    out += "[";
    for (std::size_t i = 0; i < port.rules.size(); ++i) {
        out += i == 0 ? "\n        {" : ",\n        {";
        AppendRule(out, *port.rules[i]);
        out += "\n        }";
    }
    out += port.rules.empty() ? "]" : "\n      ]";
}

// ---- reading ----------------------------------------------------------------------

// "proxyProtocol" ("off" when absent) and "acceptProxyProtocol" (false when absent). A UDP
// port takes them, as the dialog keeps them, with a warning that it ignores them.
void ReadProxyProtocol(const JsonObjectReader& in, ForwardingPort& port, QStringList& warnings) {
    if (!in.get("proxyProtocol", false).isUndefined()) {
        const QString name = in.choice("proxyProtocol", {"off", "v1", "v2"});
        port.proxyProtocol = name == "v1"   ? PROXY_PROTOCOL_V1
                             : name == "v2" ? PROXY_PROTOCOL_V2
                                            : PROXY_PROTOCOL_OFF;
    }
    port.acceptProxyProtocol = in.flag("acceptProxyProtocol");
    if (!port.isTcp() && port.proxyProtocol != PROXY_PROTOCOL_OFF) {
        warnings.append(in.path("proxyProtocol") + ": a UDP port sends no PROXY header");
    }
    if (!port.isTcp() && port.acceptProxyProtocol) {
        warnings.append(in.path("acceptProxyProtocol") + ": a UDP port takes no PROXY header");
    }
}

void Check(const std::optional<CheckFailure>& failure, const JsonObjectReader& in) {
    if (failure) {
        JsonObjectReader::Fail(in.path(QString::fromStdString(failure->field)),
                               QString::fromStdString(failure->message));
    }
}

QString Quoted(const std::string& text) {
    return '"' + QString::fromStdString(EscapedText(text, '"')) + '"';
}

// A host name or address never holds a control byte; one that did would print as a
// line of its own, or as a terminal command, wherever the port is shown.
void RefuseControlBytes(const JsonObjectReader& in, const char* field, const std::string& text) {
    if (HasControlByte(text)) {
        JsonObjectReader::Fail(in.path(field),
                               Quoted(text) + " holds a control byte, which no host name has");
    }
}

// A rule that can never match, or whose hex pattern reads other than it looks, is
// accepted as the dialogs accept it, with a warning that names it.
void WarnAboutPattern(const ForwardingRule& rule, const QString& where, QStringList& warnings) {
    std::string problem;
    if (rule.isHex()) {
        problem = CheckHexPattern(rule.searchData).problem;
    } else if (rule.searchData.empty()) {
        problem = "text pattern is empty, it can never match";
    }
    if (!problem.empty()) {
        warnings.append(where + ".searchData: " + QString::fromStdString(problem));
    }
}

std::unique_ptr<ForwardingRule> ReadRule(const QJsonValue& value, const QString& where,
                                         QStringList& warnings) {
    JsonObjectReader in(value, where);
    in.allowOnly({"ruleName", "searchType", "caseSensitive", "searchData", "forwardIp",
                  "forwardPort"});
    auto rule = std::make_unique<ForwardingRule>();
    rule->forwardPort = in.integer("forwardPort");
    rule->ruleName = in.text("ruleName", false);
    rule->forwardIp = in.text("forwardIp");
    rule->searchData = in.text("searchData");
    Check(CheckRuleValues({rule->forwardPort, rule->ruleName, rule->forwardIp, rule->searchData}),
          in);
    RefuseControlBytes(in, "forwardIp", rule->forwardIp);
    const QString kind = in.choice("searchType", {"hex", "text", "tls-sni", "tls-alpn"});
    rule->searchType = kind == "hex" ? 1 : 0;
    rule->kind = kind == "tls-sni"    ? RuleKind::TlsServerName
                 : kind == "tls-alpn" ? RuleKind::TlsAlpn
                                      : RuleKind::Pattern;
    // A TLS rule is stored as a text rule that ignores case: what it holds is its own.
    rule->caseSensitive = in.flag("caseSensitive") && !rule->isTls() ? 1 : 0;
    Check(CheckTlsRuleData(rule->kind, rule->searchData), in);
    WarnAboutPattern(*rule, where, warnings);
    return rule;
}

std::string ReadListenAddress(const JsonObjectReader& in) {
    std::string address = in.text("listenAddress", false);
    RefuseControlBytes(in, "listenAddress", address);
    if (CheckListenAddress(address)) {
        JsonObjectReader::Fail(in.path("listenAddress"),
                               Quoted(address) + " is not an IPv4 or IPv6 address");
    }
    return address;
}

std::vector<std::string> ReadAllowFrom(const JsonObjectReader& in) {
    std::vector<std::string> allowFrom;
    QJsonValue value = in.get("allowFrom", false);
    if (value.isUndefined()) {
        return allowFrom;
    }
    QJsonArray array = JsonObjectReader::ArrayAt(value, in.path("allowFrom"));
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QString where = in.path("allowFrom") + QString("[%1]").arg(i);
        if (!array[i].isString()) {
            JsonObjectReader::Fail(where, "must be a string");
        }
        std::string entry = JsonObjectReader::ToBytes(array[i].toString(), where);
        if (CheckAllowedClients({entry})) {
            JsonObjectReader::Fail(where, Quoted(entry) + " is not an address or prefix");
        }
        allowFrom.push_back(std::move(entry));
    }
    return allowFrom;
}

// An optional whole number within [low, high]; `fallback` when the field is absent.
std::int32_t ReadBounded(const JsonObjectReader& in, const char* name, std::int32_t low,
                         std::int32_t high, std::int32_t fallback) {
    if (in.get(name, false).isUndefined()) {
        return fallback;
    }
    std::int32_t value = in.integer(name);
    if (value < low || value > high) {
        JsonObjectReader::Fail(in.path(name), QString("%1 is outside %2 to %3")
                                                  .arg(value)
                                                  .arg(low)
                                                  .arg(high));
    }
    return value;
}

void ReadUdpSettings(const JsonObjectReader& in, ForwardingPort& port, QStringList& warnings) {
    port.udpIdleSeconds = ReadBounded(in, "udpIdleSeconds", MIN_UDP_IDLE_SECONDS,
                                      MAX_UDP_IDLE_SECONDS, DEFAULT_UDP_IDLE_SECONDS);
    port.udpMaxAssociations =
        ReadBounded(in, "udpMaxAssociations", MIN_UDP_MAX_ASSOCIATIONS, MAX_UDP_MAX_ASSOCIATIONS,
                    DEFAULT_UDP_MAX_ASSOCIATIONS);
    if (port.isTcp()) {
        for (const char* name : {"udpIdleSeconds", "udpMaxAssociations"}) {
            if (!in.get(name, false).isUndefined()) {
                warnings.append(in.path(name) + ": has no effect on a TCP port");
            }
        }
    }
}

std::unique_ptr<ForwardingPort> ReadPort(const QJsonValue& value, const QString& where,
                                         QStringList& warnings) {
    JsonObjectReader in(value, where);
    in.allowOnly({"protocol", "listenPort", "listenAddress", "allowFrom", "proxyProtocol",
                  "acceptProxyProtocol", "forwardIp", "forwardPort", "timeoutSeconds",
                  "udpIdleSeconds", "udpMaxAssociations", "rules"});
    auto port = std::make_unique<ForwardingPort>();
    port->protocol = in.choice("protocol", {"tcp", "udp"}) == "tcp" ? PROTOCOL_TCP : PROTOCOL_UDP;
    port->listenPort = in.integer("listenPort");
    port->forwardPort = in.integer("forwardPort");
    port->timeoutSeconds =
        in.get("timeoutSeconds", false).isUndefined() ? DEFAULT_TIMEOUT_SECONDS
                                                      : in.integer("timeoutSeconds");
    port->forwardIp = in.text("forwardIp");
    Check(CheckPortValues({port->listenPort, port->forwardPort, port->timeoutSeconds,
                           port->forwardIp}),
          in);
    RefuseControlBytes(in, "forwardIp", port->forwardIp);
    port->listenAddress = ReadListenAddress(in);
    port->allowFrom = ReadAllowFrom(in);
    ReadProxyProtocol(in, *port, warnings);
    ReadUdpSettings(in, *port, warnings);
    QJsonValue rules = in.get("rules", false);
    if (!rules.isUndefined()) {
        QJsonArray array = JsonObjectReader::ArrayAt(rules, in.path("rules"));
        if (array.size() > MAX_RULES_PER_PORT) {
            JsonObjectReader::Fail(in.path("rules"),
                                   QString("holds %1 rules, more than the %2 a port may hold")
                                       .arg(array.size())
                                       .arg(MAX_RULES_PER_PORT));
        }
        for (qsizetype i = 0; i < array.size(); ++i) {
            port->appendRule(
                ReadRule(array[i], in.path("rules") + QString("[%1]").arg(i), warnings));
        }
    }
    return port;
}

QString SyntaxError(const QByteArray& json, const QJsonParseError& error) {
    int line = 1, column = 1;
    for (qsizetype i = 0; i < error.offset && i < json.size(); ++i) {
        if (json[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return QString("line %1, column %2: %3").arg(line).arg(column).arg(error.errorString());
}

}  // namespace

QByteArray PortJson::Export(const PortTable& ports) {
    QByteArray out = "{\n  \"ports\": [";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        out += i == 0 ? "\n    {" : ",\n    {";
        AppendPort(out, *ports[i]);
        out += "\n    }";
    }
    out += ports.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

PortJson::ImportResult PortJson::Import(const QByteArray& json) {
    ImportResult result;
    QJsonParseError parseError;
    QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        result.error = SyntaxError(json, parseError);
        return result;
    }
    try {
        if (!document.isObject()) {
            JsonObjectReader::Fail("document", "must be an object with a \"ports\" array");
        }
        JsonObjectReader top(document.object(), "");
        top.allowOnly({"ports"});
        QJsonArray ports = JsonObjectReader::ArrayAt(top.get("ports", true), "ports");
        if (ports.size() > MAX_PORTS) {
            JsonObjectReader::Fail(
                "ports", QString("holds %1 ports, more than the %2 a configuration may hold")
                             .arg(ports.size())
                             .arg(MAX_PORTS));
        }
        for (qsizetype i = 0; i < ports.size(); ++i) {
            result.ports.push_back(ReadPort(ports[i], QString("ports[%1]").arg(i), result.warnings));
        }
    } catch (const JsonObjectReader::Error& error) {
        result.ports.clear();
        result.warnings.clear();
        result.error = error.message;
    }
    return result;
}

}  // namespace tarnwick
