#pragma once

#include <cstddef>
#include <memory>

#include "engine/routing/ClientHello.h"
#include "engine/socket/Socket.h"

namespace tarnwick {

// A Smart port's first data while it is a TLS ClientHello still being read: the bytes so
// far, up to ClientHelloScan::MAX_HELLO_BYTES, and what they make. The session feeds it
// from the client's readable notices until the ClientHello is complete, cannot be, or the
// port's timeout comes; the bytes then go to the destination as the first data.
class HelloCollector {
public:
    enum class Step {
        Waiting,  // the socket is drained and the ClientHello is not complete yet
        Done,     // scan() says what the data is: no more is read
        Closed,   // the client sent its FIN first
        Failed,   // a read failed: error() says why
    };

    // Starts with the first piece read.
    HelloCollector(const unsigned char* first, std::size_t length);

    // Reads what the client has sent, until the socket is drained, the data is judged, or
    // the buffer is full.
    Step readFrom(Socket& client);

    const ClientHelloScan& scan() const { return scan_; }
    int error() const { return error_; }
    std::size_t length() const { return length_; }
    // The bytes read, for the destination; the collector is spent after this.
    std::unique_ptr<unsigned char[]> take() { return std::move(buffer_); }

private:
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t length_;
    ClientHelloScan scan_;
    int error_ = 0;
};

}  // namespace tarnwick
