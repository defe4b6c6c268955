#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

// TLS ClientHellos built byte by byte, for the tests of the ClientHello reader and of the
// TLS rules.
namespace tarnwick::test {

using Bytes = std::vector<unsigned char>;

inline void Put16(Bytes& out, std::size_t value) {
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}

inline void PutExtension(Bytes& out, std::size_t type, const Bytes& body) {
    Put16(out, type);
    Put16(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
}

struct HelloShape {
    std::string serverName;          // none when empty
    std::vector<std::string> alpn;   // no ALPN extension when empty
    std::size_t padding = 0;         // bytes of a padding extension before the others
    std::size_t recordSize = 16384;  // the most handshake bytes per record
};

// The ClientHello handshake message, header included.
inline Bytes HelloMessage(const HelloShape& shape) {
    Bytes extensions;
    if (shape.padding > 0) {
        PutExtension(extensions, 21, Bytes(shape.padding, 0));
    }
    if (!shape.serverName.empty()) {
        Bytes list{0};
        Put16(list, shape.serverName.size());
        list.insert(list.end(), shape.serverName.begin(), shape.serverName.end());
        Bytes body;
        Put16(body, list.size());
        body.insert(body.end(), list.begin(), list.end());
        PutExtension(extensions, 0, body);
    }
    if (!shape.alpn.empty()) {
        Bytes list;
        for (const std::string& protocol : shape.alpn) {
            list.push_back(static_cast<unsigned char>(protocol.size()));
            list.insert(list.end(), protocol.begin(), protocol.end());
        }
        Bytes body;
        Put16(body, list.size());
        body.insert(body.end(), list.begin(), list.end());
        PutExtension(extensions, 16, body);
    }
    Bytes body{3, 3};
    body.insert(body.end(), 32, 0xAB);          // random
    body.push_back(0);                          // session id
    body.insert(body.end(), {0, 2, 0x13, 0x01});  // one cipher suite
    body.insert(body.end(), {1, 0});            // null compression
    Put16(body, extensions.size());
    body.insert(body.end(), extensions.begin(), extensions.end());
    Bytes message{1, static_cast<unsigned char>(body.size() >> 16)};
    Put16(message, body.size() & 0xFFFF);
    message.insert(message.end(), body.begin(), body.end());
    return message;
}

// The message cut into handshake records of at most `recordSize` bytes each.
inline Bytes InRecords(const Bytes& message, std::size_t recordSize) {
    Bytes out;
    for (std::size_t at = 0; at < message.size(); at += recordSize) {
        const std::size_t size = std::min(recordSize, message.size() - at);
        out.insert(out.end(), {22, 3, 1});
        Put16(out, size);
        out.insert(out.end(), message.begin() + at, message.begin() + at + size);
    }
    return out;
}

inline Bytes ClientHelloRecords(const HelloShape& shape) {
    return InRecords(HelloMessage(shape), shape.recordSize);
}

}  // namespace tarnwick::test
