#include "qtcore/PortJson.h"

#include <gtest/gtest.h>

#include "config/ConfigImage.h"
#include "config/FieldChecks.h"

namespace tarnwick {
namespace {

PortTable SamplePorts() {
    PortTable ports;
    auto smart = std::make_unique<ForwardingPort>();
    smart->listenPort = 443;
    smart->forwardIp = "127.0.0.1";
    smart->forwardPort = 8443;
    smart->timeoutSeconds = 3;
    auto ssh = std::make_unique<ForwardingRule>();
    ssh->ruleName = "SSH \"quoted\" \\ tab\t";
    ssh->searchType = 0;
    ssh->caseSensitive = 1;
    ssh->searchData = "SSH-";
    ssh->forwardIp = "127.0.0.1";
    ssh->forwardPort = 22;
    smart->appendRule(std::move(ssh));
    auto odd = std::make_unique<ForwardingRule>();
    odd->ruleName = "caf\xC3\xA9 \xE9\xFF\xC3 \xED\xA0\x80 \xF0\x9F\x98\x80";  // valid and invalid UTF-8
    odd->searchType = 1;
    odd->searchData = "16 03 XX";
    odd->forwardIp = "h\x80st";
    odd->forwardPort = 65535;
    smart->appendRule(std::move(odd));
    for (RuleKind kind : {RuleKind::TlsServerName, RuleKind::TlsAlpn}) {
        auto tls = std::make_unique<ForwardingRule>();
        tls->kind = kind;
        tls->searchData = kind == RuleKind::TlsAlpn ? "acme-tls/1" : "*.Example.com.";
        tls->forwardIp = "10.0.0.9";
        tls->forwardPort = 443;
        smart->appendRule(std::move(tls));
    }
    ports.push_back(std::move(smart));
    auto udp = std::make_unique<ForwardingPort>();
    udp->protocol = 1;
    udp->listenPort = 5353;
    udp->forwardIp = "localhost";
    udp->forwardPort = 53;
    udp->udpIdleSeconds = 3600;
    udp->udpMaxAssociations = 1;
    ports.push_back(std::move(udp));
    return ports;
}

TEST(PortJson, ExportThenImportRoundTripsTheFileByteForByte) {
    PortTable ports = SamplePorts();
    QByteArray json = PortJson::Export(ports);
    EXPECT_TRUE(json.contains("\\udce9\\udcff\\udcc3")) << json.constData();
    EXPECT_TRUE(json.contains("caf\xC3\xA9")) << json.constData();
    EXPECT_TRUE(json.contains(R"("searchType": "tls-sni")")) << json.constData();
    EXPECT_TRUE(json.contains(R"("searchType": "tls-alpn")")) << json.constData();
    PortJson::ImportResult imported = PortJson::Import(json);
    ASSERT_TRUE(imported.ok()) << imported.error.toStdString();
    EXPECT_EQ(ConfigImage::Encode(imported.ports), ConfigImage::Encode(ports));
    EXPECT_EQ(PortJson::Export(imported.ports), json);
}

TEST(PortJson, EmptyConfiguration) {
    QByteArray json = PortJson::Export(PortTable{});
    EXPECT_EQ(json, "{\n  \"ports\": []\n}\n");
    EXPECT_TRUE(PortJson::Import(json).ok());
}

TEST(PortJson, DefaultsForOptionalFields) {
    auto imported = PortJson::Import(
        R"({"ports":[{"protocol":"udp","listenPort":1,"forwardIp":"","forwardPort":2,
            "rules":[{"searchType":"text","searchData":"x","forwardIp":"a","forwardPort":3}]}]})");
    ASSERT_TRUE(imported.ok()) << imported.error.toStdString();
    EXPECT_EQ(imported.ports[0]->timeoutSeconds, 5);
    EXPECT_EQ(imported.ports[0]->udpIdleSeconds, 60);
    EXPECT_EQ(imported.ports[0]->udpMaxAssociations, 4096);
    EXPECT_EQ(imported.ports[0]->rules[0]->ruleName, "");
    EXPECT_EQ(imported.ports[0]->rules[0]->caseSensitive, 0);
}

struct BadJson {
    const char* name;
    const char* json;
    const char* error;
};

class PortJsonRejects : public ::testing::TestWithParam<BadJson> {};

TEST_P(PortJsonRejects, NamesThePlaceAndKeepsNothing) {
    auto imported = PortJson::Import(GetParam().json);
    EXPECT_FALSE(imported.ok());
    EXPECT_TRUE(imported.ports.empty());
    EXPECT_EQ(imported.error.toStdString(), GetParam().error);
}

#define PORT(fields) R"({"ports":[{"protocol":"tcp","listenPort":80,"forwardIp":"h","forwardPort":80)" fields "}]}"
#define RULE(fields) PORT(R"(,"rules":[{"searchType":"hex","searchData":"00","forwardIp":"r","forwardPort":1)" fields "}]")

INSTANTIATE_TEST_SUITE_P(
    Cases, PortJsonRejects,
    ::testing::Values(
        BadJson{"Syntax", "{\"ports\": [\n  {\"protocol\": \"tcp\",}\n]}",
                "line 2, column 23: object is missing after a comma"},
        BadJson{"NotAnObject", "[1]", "document: must be an object with a \"ports\" array"},
        BadJson{"NoPorts", "{}", "ports: is missing"},
        BadJson{"UnknownField", PORT(R"(,"listenport":1)"), "ports[0].listenport: is not a known field"},
        BadJson{"ListenPortZero",
                R"({"ports":[{"protocol":"tcp","listenPort":0,"forwardIp":"h","forwardPort":0}]})",
                "ports[0].listenPort: Invalid Listen Port Entered, value must be between 1-65535"},
        BadJson{"Timeout31", PORT(R"(,"timeoutSeconds":31)"),
                "ports[0].timeoutSeconds: Invalid Timeout Value, value must be between 1-30 seconds"},
        BadJson{"PortAsString",
                R"({"ports":[{"protocol":"tcp","listenPort":"80","forwardIp":"h","forwardPort":80}]})",
                "ports[0].listenPort: must be a whole number"},
        BadJson{"FractionalPort", PORT(R"(,"timeoutSeconds":2.5)"),
                "ports[0].timeoutSeconds: must be a whole number"},
        BadJson{"Protocol", R"({"ports":[{"protocol":"sctp"}]})",
                "ports[0].protocol: must be \"tcp\" or \"udp\""},
        BadJson{"RulePort", RULE(R"(,"forwardPort":65536)"),
                "ports[0].rules[0].forwardPort: Invalid Port Entered, value must be between 1-65535"},
        BadJson{"CaseFlag", RULE(R"(,"caseSensitive":1)"),
                "ports[0].rules[0].caseSensitive: must be true or false"},
        BadJson{"LoneSurrogate", PORT(R"(,"rules":[{"searchType":"hex","searchData":"\ud800","forwardIp":"r","forwardPort":1}])"),
                "ports[0].rules[0].searchData: holds a lone surrogate \\ud800 that stands for no byte"},
        BadJson{"ServerName",
                PORT(R"(,"rules":[{"searchType":"tls-sni","searchData":"a..example","forwardIp":"r","forwardPort":1}])"),
                "ports[0].rules[0].searchData: Server Name must be a host name such as "
                "www.example.com, or *. and a host name such as *.example.com"},
        BadJson{"AlpnEmpty",
                PORT(R"(,"rules":[{"searchType":"tls-alpn","searchData":"","forwardIp":"r","forwardPort":1}])"),
                "ports[0].rules[0].searchData: ALPN Protocol must be 1 to 255 characters"},
        BadJson{"UdpIdleZero", PORT(R"(,"udpIdleSeconds":0)"),
                "ports[0].udpIdleSeconds: 0 is outside 1 to 3600"},
        BadJson{"UdpBoundTooLarge", PORT(R"(,"udpMaxAssociations":65537)"),
                "ports[0].udpMaxAssociations: 65537 is outside 1 to 65536"},
        BadJson{"UdpBoundText", PORT(R"(,"udpMaxAssociations":"many")"),
                "ports[0].udpMaxAssociations: must be a whole number"},
        BadJson{"Nul", RULE(R"(,"ruleName":"a\u0000b")"),
                "ports[0].rules[0].ruleName: must not hold a NUL character"},
        BadJson{"ForwardIpLineBreak",
                R"({"ports":[{"protocol":"tcp","listenPort":80,"forwardIp":"10.0.0.1\n2026","forwardPort":80}]})",
                "ports[0].forwardIp: \"10.0.0.1\\x0a2026\" holds a control byte, which no host name has"},
        BadJson{"ListenAddressTab", PORT(R"(,"listenAddress":"::1\t")"),
                "ports[0].listenAddress: \"::1\\t\" holds a control byte, which no host name has"},
        BadJson{"RuleForwardIpEscape",
                PORT(R"(,"rules":[{"searchType":"hex","searchData":"00","forwardIp":"r\u001b[2J","forwardPort":1}])"),
                "ports[0].rules[0].forwardIp: \"r\\x1b[2J\" holds a control byte, which no host name has"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortJson, SearchDataOfMoreThan4096CharactersFails) {
    std::string json = R"({"ports":[{"protocol":"tcp","listenPort":80,"forwardIp":"h","forwardPort":80,)"
                       R"("rules":[{"searchType":"text","forwardIp":"r","forwardPort":1,"searchData":")" +
                       std::string(4097, 'a') + "\"}]}]}";
    auto imported = PortJson::Import(QByteArray::fromStdString(json));
    EXPECT_EQ(imported.error.toStdString(),
              "ports[0].rules[0].searchData: Search Data cannot exceed 4096 characters");
    json.erase(json.find(std::string(4097, 'a')), 1);
    EXPECT_TRUE(PortJson::Import(QByteArray::fromStdString(json)).ok());
}

TEST(PortJson, RulesThatCanNeverMatchAreTakenWithAWarningThatSaysWhere) {
    auto imported = PortJson::Import(PORT(R"(,"rules":[
        {"searchType":"hex","searchData":"16 03 XX","forwardIp":"r","forwardPort":1},
        {"searchType":"hex","searchData":"16 03 0","forwardIp":"r","forwardPort":1},
        {"searchType":"hex","searchData":"GET","forwardIp":"r","forwardPort":1},
        {"searchType":"hex","searchData":"0x41","forwardIp":"r","forwardPort":1},
        {"searchType":"text","searchData":"","forwardIp":"r","forwardPort":1}])"));
    ASSERT_TRUE(imported.ok()) << imported.error.toStdString();
    EXPECT_EQ(imported.ports[0]->rules.size(), 5u);
    EXPECT_EQ(imported.warnings,
              (QStringList{
                  "ports[0].rules[1].searchData: hex pattern has an odd number of digits, it can "
                  "never match",
                  "ports[0].rules[2].searchData: hex pattern has an odd number of digits, it can "
                  "never match",
                  "ports[0].rules[3].searchData: hex pair 1 \"0x\" is not two hex digits; it "
                  "matches the byte 00",
                  "ports[0].rules[4].searchData: text pattern is empty, it can never match"}));
}

TEST(PortJson, UdpSettingsOnATcpPortAreTakenWithAWarning) {
    auto imported = PortJson::Import(PORT(R"(,"udpIdleSeconds":5)"));
    ASSERT_TRUE(imported.ok()) << imported.error.toStdString();
    EXPECT_EQ(imported.warnings,
              QStringList{"ports[0].udpIdleSeconds: has no effect on a TCP port"});
}

TEST(PortJson, MorePortsOrRulesThanTheLimitsAreRefused) {
    const QByteArray port = R"({"protocol":"tcp","listenPort":80,"forwardIp":"h","forwardPort":80})";
    QByteArrayList ports(MAX_PORTS + 1, port);
    auto imported = PortJson::Import("{\"ports\":[" + ports.join(',') + "]}");
    EXPECT_EQ(imported.error.toStdString(),
              "ports: holds 10001 ports, more than the 10000 a configuration may hold");
    ports.removeLast();
    EXPECT_TRUE(PortJson::Import("{\"ports\":[" + ports.join(',') + "]}").ok());

    const QByteArray rule = R"({"searchType":"text","searchData":"x","forwardIp":"r","forwardPort":1})";
    QByteArrayList rules(MAX_RULES_PER_PORT + 1, rule);
    imported = PortJson::Import(R"({"ports":[{"protocol":"tcp","listenPort":80,"forwardIp":"h",)"
                                R"("forwardPort":80,"rules":[)" + rules.join(',') + "]}]}");
    EXPECT_EQ(imported.error.toStdString(),
              "ports[0].rules: holds 10001 rules, more than the 10000 a port may hold");
}

}  // namespace
}  // namespace tarnwick
