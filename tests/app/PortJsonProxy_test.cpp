// PROXY protocol settings in JSON and in --list.
#include <gtest/gtest.h>

#include <sstream>

#include "app/ConfigCommands.h"
#include "qtcore/PortJson.h"
#include "config/ConfigImage.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

const std::string TCP_PORT = R"({"ports":[{"protocol":"tcp","listenPort":1,"forwardIp":"h","forwardPort":2)";

TEST(PortJsonProxy, RoundTripDefaultsAndList) {
    PortTable ports;
    for (std::int32_t version : {PROXY_PROTOCOL_OFF, PROXY_PROTOCOL_V1, PROXY_PROTOCOL_V2}) {
        auto port = std::make_unique<ForwardingPort>();
        port->listenPort = 8000 + version;
        port->forwardIp = "127.0.0.1";
        port->forwardPort = 80;
        port->proxyProtocol = version;
        port->acceptProxyProtocol = version == PROXY_PROTOCOL_V2;
        ports.push_back(std::move(port));
    }
    QByteArray json = PortJson::Export(ports);
    EXPECT_TRUE(json.contains(R"("proxyProtocol": "off",)")) << json.constData();
    EXPECT_TRUE(json.contains(R"("proxyProtocol": "v2",
      "acceptProxyProtocol": true,)")) << json.constData();
    PortJson::ImportResult imported = PortJson::Import(json);
    ASSERT_TRUE(imported.ok()) << imported.error.toStdString();
    EXPECT_EQ(ConfigImage::Encode(imported.ports), ConfigImage::Encode(ports));

    imported = PortJson::Import(QByteArray::fromStdString(TCP_PORT + "}]}"));
    ASSERT_TRUE(imported.ok());
    EXPECT_EQ(imported.ports[0]->proxyProtocol, PROXY_PROTOCOL_OFF);
    EXPECT_FALSE(imported.ports[0]->acceptProxyProtocol);

    testing::TempDir dir;
    ConfigFile file(dir.path());
    ASSERT_TRUE(file.save(ports).saved);
    std::ostringstream out, err;
    EXPECT_EQ(ConfigCommands(file, out, err).list(), 0) << err.str();
    EXPECT_EQ(out.str(), std::string(ConfigCommands::HEADER_LINE) +
                             "\n"
                             "TCP\tlocalhost:8000\t127.0.0.1:80\tStandard\tNo\n"
                             "TCP\tlocalhost:8001\t127.0.0.1:80\tStandard\tNo\n"
                             "\tPROXY protocol: sends v1\n"
                             "TCP\tlocalhost:8002\t127.0.0.1:80\tStandard\tNo\n"
                             "\tPROXY protocol: sends v2, takes headers from clients\n");
}

TEST(PortJsonProxy, ImportNamesTheBadValueAndWarnsForUdp) {
    for (auto [fields, error] : {
             std::pair{R"(,"proxyProtocol":"v3")",
                       R"(ports[0].proxyProtocol: must be "off" or "v1" or "v2")"},
             std::pair{R"(,"proxyProtocol":2)",
                       R"(ports[0].proxyProtocol: must be "off" or "v1" or "v2")"},
             std::pair{R"(,"acceptProxyProtocol":"yes")",
                       "ports[0].acceptProxyProtocol: must be true or false"},
         }) {
        auto imported = PortJson::Import(QByteArray::fromStdString(TCP_PORT + fields + "}]}"));
        EXPECT_EQ(imported.error.toStdString(), error);
        EXPECT_TRUE(imported.ports.empty());
    }
    auto udp = PortJson::Import(
        R"({"ports":[{"protocol":"udp","listenPort":1,"forwardIp":"h","forwardPort":2,)"
        R"("proxyProtocol":"v1","acceptProxyProtocol":true}]})");
    ASSERT_TRUE(udp.ok());
    EXPECT_EQ(udp.warnings, QStringList({"ports[0].proxyProtocol: a UDP port sends no PROXY header",
                                         "ports[0].acceptProxyProtocol: a UDP port takes no PROXY "
                                         "header"}));
}

}  // namespace
}  // namespace tarnwick
