#include "engine/tcp/ProxyHeaderReader.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/tcp/ProxyHeader.h"

namespace tarnwick {

namespace {

using Result = ProxyHeaderReader::Result;
using Status = ProxyHeaderReader::Status;

constexpr std::string_view V1_PREFIX = "PROXY ";
constexpr std::size_t SIGNATURE_SIZE = sizeof ProxyHeader::V2_SIGNATURE;

Result Invalid(const char* problem) {
    Result result;
    result.status = Status::Invalid;
    result.problem = problem;
    return result;
}

Result Complete(std::size_t size) {
    Result result;
    result.status = Status::Complete;
    result.size = size;
    return result;
}

// True when the first `length` bytes agree with `expected` as far as both go.
bool StartsAs(const unsigned char* data, std::size_t length, const unsigned char* expected,
              std::size_t size) {
    return std::memcmp(data, expected, std::min(length, size)) == 0;
}

SocketAddress FromBytes(int family, const unsigned char* address, int port) {
    SocketAddress result;
    if (family == AF_INET) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&v4.sin_addr, address, 4);
        std::memcpy(result.get(), &v4, sizeof v4);
        result.setLength(sizeof v4);
    } else {
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&v6.sin6_addr, address, 16);
        std::memcpy(result.get(), &v6, sizeof v6);
        result.setLength(sizeof v6);
    }
    return result;
}

// ---- version 1 ----------------------------------------------------------------------

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t begin = 0;
    while (begin <= line.size()) {
        std::size_t end = std::min(line.find(' ', begin), line.size());
        fields.push_back(line.substr(begin, end - begin));
        begin = end + 1;
    }
    return fields;
}

// A port in decimal, 0 to 65535; -1 for anything else.
int ReadPort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return -1;
    }
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : -1;
}

bool ReadAddress(int family, std::string_view text, int port, std::optional<SocketAddress>& out) {
    unsigned char bytes[16];
    const std::string address(text);
    if (port < 0 || ::inet_pton(family, address.c_str(), bytes) != 1) {
        return false;
    }
    out = FromBytes(family, bytes, port);
    return true;
}

Result ParseLine(std::string_view line, std::size_t size) {
    std::vector<std::string_view> fields = Fields(line);
    if (fields[0] == "UNKNOWN") {
        return Complete(size);  // whatever follows it is not looked at
    }
    if (fields[0] != "TCP4" && fields[0] != "TCP6") {
        return Invalid("version 1 header names neither TCP4, TCP6 nor UNKNOWN");
    }
    if (fields.size() != 5) {
        return Invalid("version 1 header does not hold two addresses and two ports");
    }
    const int family = fields[0] == "TCP4" ? AF_INET : AF_INET6;
    Result result = Complete(size);
    if (!ReadAddress(family, fields[1], ReadPort(fields[3]), result.source) ||
        !ReadAddress(family, fields[2], ReadPort(fields[4]), result.destination)) {
        return Invalid("version 1 header holds an address or port that is not valid");
    }
    return result;
}

Result ParseVersion1(const unsigned char* data, std::size_t length) {
    const std::size_t scanned = std::min(length, ProxyHeaderReader::V1_MAX_SIZE);
    const auto* end = static_cast<const unsigned char*>(std::memchr(data, '\n', scanned));
    if (end == nullptr) {
        if (length >= ProxyHeaderReader::V1_MAX_SIZE) {
            return Invalid("version 1 header has no line end within 107 bytes");
        }
        return {};
    }
    const auto lineEnd = static_cast<std::size_t>(end - data);
    if (lineEnd < V1_PREFIX.size() + 1 || data[lineEnd - 1] != '\r') {
        return Invalid("version 1 header does not end with CR LF");
    }
    const std::string_view line(reinterpret_cast<const char*>(data) + V1_PREFIX.size(),
                                lineEnd - 1 - V1_PREFIX.size());
    return ParseLine(line, lineEnd + 1);
}

// ---- version 2 ----------------------------------------------------------------------

constexpr unsigned char COMMAND_LOCAL = 0x0;
constexpr unsigned char COMMAND_PROXY = 0x1;
constexpr unsigned char TCP_OVER_IPV4 = 0x11;
constexpr unsigned char TCP_OVER_IPV6 = 0x21;

Result ParseVersion2(const unsigned char* data, std::size_t length) {
    if (length < ProxyHeaderReader::V2_FIXED_SIZE) {
        return {};
    }
    const unsigned char versionCommand = data[12];
    const unsigned char familyTransport = data[13];
    const std::size_t addressLength = static_cast<std::size_t>(data[14] << 8 | data[15]);
    const std::size_t size = ProxyHeaderReader::V2_FIXED_SIZE + addressLength;
    const unsigned char command = versionCommand & 0x0F;
    if (versionCommand >> 4 != 2 || (command != COMMAND_LOCAL && command != COMMAND_PROXY)) {
        return Invalid("version 2 header has an unknown version or command");
    }
    if (familyTransport >> 4 > 3 || (familyTransport & 0x0F) > 2) {
        return Invalid("version 2 header has an unknown address family or transport");
    }
    if (size > ProxyHeaderReader::MAX_SIZE) {
        return Invalid("version 2 header is longer than 4096 bytes");
    }
    if (length < size) {
        return {};
    }
    Result result = Complete(size);
    if (command == COMMAND_LOCAL ||
        (familyTransport != TCP_OVER_IPV4 && familyTransport != TCP_OVER_IPV6)) {
        return result;  // no client named: the connection's own peer stands
    }
    const bool v4 = familyTransport == TCP_OVER_IPV4;
    const std::size_t addressSize = v4 ? 4 : 16;
    if (addressLength < 2 * addressSize + 4) {
        return Invalid("version 2 header is too short for its addresses");
    }
    const unsigned char* at = data + ProxyHeaderReader::V2_FIXED_SIZE;
    const unsigned char* ports = at + 2 * addressSize;
    const int family = v4 ? AF_INET : AF_INET6;
    result.source = FromBytes(family, at, ports[0] << 8 | ports[1]);
    result.destination = FromBytes(family, at + addressSize, ports[2] << 8 | ports[3]);
    return result;
}

}  // namespace

ProxyHeaderReader::Result ProxyHeaderReader::Parse(const unsigned char* data, std::size_t length) {
    if (length == 0) {
        return {};
    }
    const auto* prefix = reinterpret_cast<const unsigned char*>(V1_PREFIX.data());
    if (StartsAs(data, length, prefix, V1_PREFIX.size())) {
        return ParseVersion1(data, length);
    }
    if (StartsAs(data, length, ProxyHeader::V2_SIGNATURE, SIGNATURE_SIZE)) {
        return ParseVersion2(data, length);
    }
    return Invalid("the connection does not start with a PROXY protocol header");
}

}  // namespace tarnwick
