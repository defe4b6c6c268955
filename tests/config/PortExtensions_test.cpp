// The block after the last port entry that holds listen addresses and allowed clients.
#include "config/PortExtensions.h"

#include <gtest/gtest.h>

#include "tests/support/ImageBytes.h"

namespace tarnwick {
namespace {

using testing::Bytes;
using testing::PutInt;
using testing::PutString;

std::unique_ptr<ForwardingPort> Port(int listenPort) {
    auto port = std::make_unique<ForwardingPort>();
    port->listenPort = listenPort;
    port->forwardPort = 80;
    port->forwardIp = "192.168.1.5";
    return port;
}

// Two ports, the second one listening on 127.0.0.1 for two kinds of clients.
PortTable TwoPorts() {
    PortTable ports;
    ports.push_back(Port(443));
    ports.push_back(Port(444));
    ports[1]->listenAddress = "127.0.0.1";
    ports[1]->allowFrom = {"10.0.0.0/8", "::1"};
    return ports;
}

std::size_t EntriesSize() {
    PortTable plain = TwoPorts();
    plain[1]->listenAddress.clear();
    plain[1]->allowFrom.clear();
    return ConfigImage::Encode(plain).size();
}

TEST(PortExtensions, BlockFollowsTheEntriesByteForByte) {
    PortTable ports = TwoPorts();
    Bytes image = ConfigImage::Encode(ports);

    Bytes block = {'T', 'W', 'X', '1'};
    PutInt(block, 5 + 4 + 14 + 4 + 15 + 8);
    PutString(block, "");  // the first port: no address, nobody listed
    PutInt(block, 0);
    PutString(block, "127.0.0.1");
    PutInt(block, 2);
    PutString(block, "10.0.0.0/8");
    PutString(block, "::1");
    ASSERT_EQ(image.size(), EntriesSize() + block.size());
    EXPECT_EQ(Bytes(image.begin() + static_cast<long>(EntriesSize()), image.end()), block);

    LoadResult loaded = ConfigImage::Decode(image);
    ASSERT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded) << loaded.report.describe();
    ASSERT_EQ(loaded.ports.size(), 2u);
    EXPECT_FALSE(loaded.ports[0]->hasAddressSettings());
    EXPECT_TRUE(loaded.ports[1]->sameSettings(*ports[1]));
    EXPECT_EQ(ConfigImage::Encode(loaded.ports), image);

    // In another row order the block follows the rows.
    std::swap(ports[0], ports[1]);
    LoadResult swapped = ConfigImage::Decode(ConfigImage::Encode(ports));
    EXPECT_EQ(swapped.ports[0]->listenAddress, "127.0.0.1");
    EXPECT_EQ(swapped.ports[1]->listenAddress, "");
}

struct Damage {
    const char* name;
    std::size_t at;  // offset into the block
    Bytes bytes;     // written there; an empty value cuts the image at `at`
    const char* field;
};

class PortExtensionsDamaged : public ::testing::TestWithParam<Damage> {};

TEST_P(PortExtensionsDamaged, KeepsEveryPortWithoutAnyExtension) {
    const Damage& damage = GetParam();
    Bytes image = ConfigImage::Encode(TwoPorts());
    const std::size_t at = EntriesSize() + damage.at;
    if (damage.bytes.empty()) {
        image.resize(at);
    } else {
        std::copy(damage.bytes.begin(), damage.bytes.end(), image.begin() + static_cast<long>(at));
    }
    LoadResult loaded = ConfigImage::Decode(image);
    EXPECT_EQ(loaded.report.outcome, LoadReport::Outcome::Incomplete);
    EXPECT_TRUE(loaded.report.extensionsLost);
    EXPECT_EQ(loaded.report.field, damage.field) << loaded.report.describe();
    ASSERT_EQ(loaded.ports.size(), 2u);
    EXPECT_EQ(loaded.report.portsRead, 2);
    for (const auto& port : loaded.ports) {
        EXPECT_FALSE(port->hasAddressSettings());
    }
    EXPECT_NE(loaded.report.describe().find("2 ports kept, without listen addresses"),
              std::string::npos);
}

Bytes Int(std::int32_t value) {
    Bytes out;
    PutInt(out, value);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortExtensionsDamaged,
    ::testing::Values(
        Damage{"CutInLength", 6, {}, "extension block length"},
        Damage{"CutInLastString", 45, {}, "extension block length"},
        Damage{"LengthOneShort", 4, Int(49), "extension block, port 2, allowFrom 2"},
        Damage{"CountOneShort", 31, Int(1), "extension block"},
        Damage{"NegativeCount", 31, Int(-1), "extension block, port 2, allowFrom count"},
        Damage{"StringPastTheBlock", 35, Int(400), "extension block, port 2, allowFrom 1 size"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick
