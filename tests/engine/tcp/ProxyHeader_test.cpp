// The PROXY protocol header: the bytes written to a destination, checked against the
// published examples, and the reader that takes one from a client.
#include "engine/tcp/ProxyHeader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/ForwardingPort.h"
#include "engine/tcp/ProxyHeaderReader.h"

namespace tarnwick {
namespace {

using Bytes = std::vector<unsigned char>;
using Status = ProxyHeaderReader::Status;

SocketAddress At(const char* ip, int port) {
    return SocketAddress(*IpAddress::Parse(ip), port);
}

std::string Text(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

Bytes Of(const std::string& text) {
    return {text.begin(), text.end()};
}

ProxyHeaderReader::Result Parse(const Bytes& bytes) {
    return ProxyHeaderReader::Parse(bytes.data(), bytes.size());
}

const std::string ALL_F = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";

TEST(ProxyHeader, Version1IsTheTextLineOfThePublishedExamples) {
    EXPECT_EQ(Text(ProxyHeader::Build(PROXY_PROTOCOL_V1, At("192.168.0.1", 56324),
                                      At("192.168.0.11", 443))),
              "PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n");
    EXPECT_EQ(Text(ProxyHeader::Build(PROXY_PROTOCOL_V1, At("255.255.255.255", 65535),
                                      At("255.255.255.255", 65535))),
              "PROXY TCP4 255.255.255.255 255.255.255.255 65535 65535\r\n");
    std::string v6 = Text(
        ProxyHeader::Build(PROXY_PROTOCOL_V1, At(ALL_F.c_str(), 65535), At(ALL_F.c_str(), 65535)));
    EXPECT_EQ(v6, "PROXY TCP6 " + ALL_F + " " + ALL_F + " 65535 65535\r\n");
    EXPECT_EQ(v6.size(), 104u);  // the longest TCP6 line
    EXPECT_EQ(Text(ProxyHeader::Build(PROXY_PROTOCOL_V1, SocketAddress(), At("10.0.0.1", 80))),
              "PROXY UNKNOWN\r\n");
}

// An IPv4 client on an IPv6 socket is written as IPv4; a header cannot mix families, so
// an IPv6 client of an IPv4 port has the port's address written v4-mapped.
TEST(ProxyHeader, FamiliesAreWrittenAsOne) {
    EXPECT_EQ(Text(ProxyHeader::Build(PROXY_PROTOCOL_V1, At("::ffff:10.1.2.3", 4000),
                                      At("::ffff:10.0.0.1", 80))),
              "PROXY TCP4 10.1.2.3 10.0.0.1 4000 80\r\n");
    EXPECT_EQ(Text(ProxyHeader::Build(PROXY_PROTOCOL_V1, At("2001:db8::7", 4000),
                                      At("10.0.0.1", 80))),
              "PROXY TCP6 2001:db8::7 ::ffff:10.0.0.1 4000 80\r\n");
    Bytes v2 = ProxyHeader::Build(PROXY_PROTOCOL_V2, At("::ffff:172.19.0.1", 42578),
                                  At("::ffff:172.19.0.3", 80));
    EXPECT_EQ(v2.size(), 28u);
    EXPECT_EQ(v2[13], 0x11);
}

TEST(ProxyHeader, Version2IsTheBinaryLayout) {
    // Signature, version 2 + PROXY, TCP over IPv4, 12 bytes: 172.19.0.1:42578 to
    // 172.19.0.3:80, all in network order.
    const Bytes v4 = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49,
                      0x54, 0x0A, 0x21, 0x11, 0x00, 0x0C, 0xAC, 0x13, 0x00, 0x01,
                      0xAC, 0x13, 0x00, 0x03, 0xA6, 0x52, 0x00, 0x50};
    EXPECT_EQ(ProxyHeader::Build(PROXY_PROTOCOL_V2, At("172.19.0.1", 42578), At("172.19.0.3", 80)),
              v4);

    Bytes v6 = ProxyHeader::Build(PROXY_PROTOCOL_V2, At("2001:db8::1", 1), At("::1", 0x1BB));
    ASSERT_EQ(v6.size(), 16u + 36u);
    EXPECT_EQ(Bytes(v6.begin() + 12, v6.begin() + 18), Bytes({0x21, 0x21, 0x00, 0x24, 0x20, 0x01}));
    EXPECT_EQ(Bytes(v6.end() - 5, v6.end()), Bytes({0x01, 0x00, 0x01, 0x01, 0xBB}));

    Bytes unknown = ProxyHeader::Build(PROXY_PROTOCOL_V2, SocketAddress(), At("10.0.0.1", 80));
    EXPECT_EQ(Bytes(unknown.begin() + 12, unknown.end()), Bytes({0x21, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(ProxyHeader::Build(PROXY_PROTOCOL_OFF, At("10.0.0.2", 1), At("10.0.0.1", 80))
                    .empty());
}

// What is written is read back, with the client's data after it left alone; every part of
// a header short of its end asks for more, without ever being refused.
TEST(ProxyHeaderReader, ReadsBothVersionsPieceByPiece) {
    const std::vector<std::pair<SocketAddress, SocketAddress>> connections = {
        {At("192.168.0.1", 56324), At("192.168.0.11", 443)},
        {At(ALL_F.c_str(), 65535), At("::1", 0)}};
    for (std::int32_t version : {PROXY_PROTOCOL_V1, PROXY_PROTOCOL_V2}) {
        for (const auto& [source, destination] : connections) {
            SCOPED_TRACE(source.toString() + " version " + std::to_string(version));
            Bytes header = ProxyHeader::Build(version, source, destination);
            Bytes stream = header;
            stream.insert(stream.end(), {'G', 'E', 'T'});
            for (std::size_t cut = 0; cut < header.size(); ++cut) {
                ASSERT_EQ(ProxyHeaderReader::Parse(stream.data(), cut).status, Status::Incomplete)
                    << cut;
            }
            ProxyHeaderReader::Result read = Parse(stream);
            ASSERT_EQ(read.status, Status::Complete) << read.problem;
            EXPECT_EQ(read.size, header.size());
            ASSERT_TRUE(read.source && read.destination);
            EXPECT_TRUE(read.source->samePeer(source));
            EXPECT_TRUE(read.destination->samePeer(destination));
        }
    }
}

// Headers that name no client: the connection's own peer stands.
TEST(ProxyHeaderReader, HeadersWithoutAClientAreWhole) {
    const std::string worst = "PROXY UNKNOWN " + ALL_F + " " + ALL_F + " 65535 65535\r\n";
    ASSERT_EQ(worst.size(), ProxyHeaderReader::V1_MAX_SIZE);
    Bytes local(std::begin(ProxyHeader::V2_SIGNATURE), std::end(ProxyHeader::V2_SIGNATURE));
    local.insert(local.end(), {0x20, 0x00, 0x00, 0x00});
    Bytes unixFamily(std::begin(ProxyHeader::V2_SIGNATURE), std::end(ProxyHeader::V2_SIGNATURE));
    unixFamily.insert(unixFamily.end(), {0x21, 0x31, 0x00, 0x02, 0xAA, 0xBB});
    for (const Bytes& header : {Of("PROXY UNKNOWN\r\n"), Of(worst), local, unixFamily}) {
        ProxyHeaderReader::Result read = Parse(header);
        EXPECT_EQ(read.status, Status::Complete) << read.problem;
        EXPECT_EQ(read.size, header.size());
        EXPECT_FALSE(read.source);
    }
}

TEST(ProxyHeaderReader, RefusesWhatIsNotAHeader) {
    Bytes v2 = ProxyHeader::Build(PROXY_PROTOCOL_V2, At("10.0.0.2", 1), At("10.0.0.1", 80));
    auto changed = [&](std::size_t at, unsigned char value) {
        Bytes bytes = v2;
        bytes[at] = value;
        return bytes;
    };
    Bytes tooLong = changed(14, 0x10);  // 16 + 4096 bytes
    Bytes shortAddresses = changed(15, 11);
    shortAddresses.pop_back();
    const std::vector<Bytes> invalid = {
        Of("GET / HTTP/1.1\r\n"),
        Of("PROXY TCP4 10.0.0.2 10.0.0.1 1 80\n"),
        Of("PROXY TCP4 10.0.0.2 10.0.0.1 1 65536\r\n"),
        Of("PROXY TCP4 ::1 10.0.0.1 1 80\r\n"),
        Of("PROXY TCP6 ::1 ::1 1\r\n"),
        Of("PROXY UDP4 10.0.0.2 10.0.0.1 1 80\r\n"),
        Of("PROXY " + std::string(101, 'x')),  // no line end within 107 bytes
        changed(12, 0x11),                     // version 1 in the binary form
        changed(12, 0x22),                     // command 2
        changed(13, 0x41),                     // family 4
        tooLong,
        shortAddresses,
    };
    for (const Bytes& bytes : invalid) {
        ProxyHeaderReader::Result read = Parse(bytes);
        EXPECT_EQ(read.status, Status::Invalid) << Text(bytes);
        EXPECT_NE(std::string(read.problem), "");
    }
}

}  // namespace
}  // namespace tarnwick
