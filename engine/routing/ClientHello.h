#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

// What the server-name and ALPN rules look at in a TLS ClientHello.
struct ClientHello {
    bool hasServerName = false;
    std::string serverName;          // the first host_name of the server_name extension
    std::vector<std::string> alpn;   // the protocols offered, in the client's order
};

// Reads a TLS ClientHello from the start of a connection's first data: the handshake
// records (content type 22, version 3.x) up to the end of the ClientHello message, which
// may span several records. Never reads a byte past `length`, and stops at `limit` bytes:
// a ClientHello that would need more is TooLarge as soon as its length says so.
class ClientHelloScan {
public:
    static constexpr std::size_t MAX_HELLO_BYTES = 16 * 1024;

    enum class Status {
        NotTls,     // the data does not start a TLS handshake record
        NeedMore,   // a ClientHello, not complete yet
        Complete,   // read whole: hello() holds what the rules need
        Malformed,  // problem() says what is wrong
        TooLarge,   // it would take more than `limit` bytes
    };

    explicit ClientHelloScan(const unsigned char* data, std::size_t length,
                             std::size_t limit = MAX_HELLO_BYTES);

    Status status() const { return status_; }
    const ClientHello& hello() const { return hello_; }
    // For Malformed: what is wrong, a fixed text ("ClientHello malformed: ...").
    const char* problem() const { return problem_; }
    // For NeedMore: the data's length below which the status cannot change.
    std::size_t wanted() const { return wanted_; }

    // True when data of this length may still turn out to start a handshake record: its
    // first byte is 22 and, when it has a second, that one is 3.
    static bool MayStart(const unsigned char* data, std::size_t length);

private:
    void scanRecords(const unsigned char* data, std::size_t length, std::size_t limit);
    void fail(const char* problem);
    void parseMessage(const unsigned char* body, std::size_t length);
    bool parseExtensions(const unsigned char* at, std::size_t length);

    Status status_ = Status::NotTls;
    ClientHello hello_;
    const char* problem_ = "";
    std::size_t wanted_ = 0;
};

}  // namespace tarnwick
