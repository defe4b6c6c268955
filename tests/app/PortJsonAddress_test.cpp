// Listen addresses and allowed clients in JSON and in --list.
#include <gtest/gtest.h>

#include <sstream>

#include "app/ConfigCommands.h"
#include "config/ConfigImage.h"
#include "qtcore/PortJson.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

PortTable PortsWithAddresses() {
    PortTable ports;
    for (int i = 0; i < 2; ++i) {
        auto port = std::make_unique<ForwardingPort>();
        port->listenPort = 8000 + i;
        port->forwardIp = i == 0 ? "127.0.0.1" : "2001:db8::5";
        port->forwardPort = 80;
        ports.push_back(std::move(port));
    }
    ports[1]->listenAddress = "::";
    ports[1]->allowFrom = {"10.0.0.0/8", "::1"};
    return ports;
}

TEST(PortJsonAddresses, RoundTripAndDefaults) {
    PortTable ports = PortsWithAddresses();
    QByteArray json = PortJson::Export(ports);
    EXPECT_TRUE(json.contains(R"("listenAddress": "",)")) << json.constData();
    EXPECT_TRUE(json.contains(R"("allowFrom": ["10.0.0.0/8", "::1"],)")) << json.constData();
    PortJson::ImportResult imported = PortJson::Import(json);
    ASSERT_TRUE(imported.ok()) << imported.error.toStdString();
    EXPECT_EQ(ConfigImage::Encode(imported.ports), ConfigImage::Encode(ports));

    imported = PortJson::Import(
        R"({"ports":[{"protocol":"tcp","listenPort":1,"forwardIp":"h","forwardPort":2}]})");
    ASSERT_TRUE(imported.ok());
    EXPECT_FALSE(imported.ports[0]->hasAddressSettings());
}

TEST(PortJsonAddresses, ImportNamesTheBadPlace) {
    const std::string head =
        R"({"ports":[{"protocol":"tcp","listenPort":1,"forwardIp":"h","forwardPort":2},)"
        R"({"protocol":"udp","listenPort":1,"forwardIp":"h","forwardPort":2,)";
    struct Case {
        const char* fields;
        const char* error;
    };
    for (const Case& c : {
             Case{R"("listenAddress":"localhost")",
                  R"(ports[1].listenAddress: "localhost" is not an IPv4 or IPv6 address)"},
             Case{R"("allowFrom":"10.0.0.0/8")", "ports[1].allowFrom: must be an array"},
             Case{R"("allowFrom":["::1",5])", "ports[1].allowFrom[1]: must be a string"},
             Case{R"("allowFrom":["::1","10.0.0.0/33"])",
                  R"(ports[1].allowFrom[1]: "10.0.0.0/33" is not an address or prefix)"},
             Case{R"("allowFrom":[""])",
                  R"(ports[1].allowFrom[0]: "" is not an address or prefix)"},
         }) {
        auto imported = PortJson::Import(QByteArray::fromStdString(head + c.fields + "}]}"));
        EXPECT_EQ(imported.error.toStdString(), c.error);
        EXPECT_TRUE(imported.ports.empty());
    }
}

TEST(PortJsonAddresses, ListShowsWhereEachPortListensAndWhomItAllows) {
    testing::TempDir dir;
    ConfigFile file(dir.path());
    ASSERT_TRUE(file.save(PortsWithAddresses()).saved);
    std::ostringstream out, err;
    EXPECT_EQ(ConfigCommands(file, out, err).list(), 0) << err.str();
    EXPECT_EQ(out.str(),
              std::string(ConfigCommands::HEADER_LINE) +
                  "\n"
                  "TCP\tlocalhost:8000\t127.0.0.1:80\tStandard\tNo\n"
                  "TCP\t[::]:8001\t[2001:db8::5]:80\tStandard\tNo\n"
                  "\tAllowed clients: 10.0.0.0/8, ::1\n");
}

}  // namespace
}  // namespace tarnwick
