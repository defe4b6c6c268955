#include "engine/routing/ClientHello.h"

#include <algorithm>

namespace tarnwick {

namespace {

constexpr unsigned char HANDSHAKE_RECORD = 22;
constexpr unsigned char CLIENT_HELLO = 1;
constexpr std::size_t RECORD_HEADER = 5;
constexpr std::size_t MESSAGE_HEADER = 4;
constexpr std::size_t MAX_RECORD = 16384;
constexpr std::size_t RANDOM_BYTES = 32;
constexpr std::size_t MAX_SESSION_ID = 32;
constexpr std::uint16_t SERVER_NAME_EXTENSION = 0;
constexpr std::uint16_t ALPN_EXTENSION = 16;
constexpr unsigned char HOST_NAME = 0;

// Reads numbers and runs of bytes from a bounded span; every read checks that the bytes
// are there, and a read that fails moves nothing.
class Cursor {
public:
    Cursor(const unsigned char* at, std::size_t length) : at_(at), left_(length) {}

    std::size_t left() const { return left_; }
    const unsigned char* at() const { return at_; }

    bool number(std::size_t bytes, std::size_t& value) {
        if (left_ < bytes) {
            return false;
        }
        value = 0;
        for (std::size_t k = 0; k < bytes; ++k) {
            value = value << 8 | at_[k];
        }
        skip(bytes);
        return true;
    }
    // A run of bytes preceded by its length in `lengthBytes` bytes.
    bool vector(std::size_t lengthBytes, Cursor& run) {
        std::size_t length = 0;
        Cursor saved = *this;
        if (!number(lengthBytes, length) || left_ < length) {
            *this = saved;
            return false;
        }
        run = Cursor(at_, length);
        skip(length);
        return true;
    }
    bool skip(std::size_t bytes) {
        if (left_ < bytes) {
            return false;
        }
        at_ += bytes;
        left_ -= bytes;
        return true;
    }

private:
    const unsigned char* at_;
    std::size_t left_;
};

// A host name as a ClientHello may carry it: printable ASCII without blanks.
bool PrintableName(const Cursor& name) {
    return std::all_of(name.at(), name.at() + name.left(),
                       [](unsigned char byte) { return byte > 0x20 && byte < 0x7F; });
}

}  // namespace

bool ClientHelloScan::MayStart(const unsigned char* data, std::size_t length) {
    return length >= 1 && data[0] == HANDSHAKE_RECORD && (length < 2 || data[1] == 3);
}

ClientHelloScan::ClientHelloScan(const unsigned char* data, std::size_t length,
                                 std::size_t limit) {
    if (!MayStart(data, length)) {
        status_ = Status::NotTls;
    } else if (length < 2) {
        status_ = Status::NeedMore;  // one byte: the version is still to come
        wanted_ = 2;
    } else {
        scanRecords(data, std::min(length, limit), limit);
    }
}

void ClientHelloScan::fail(const char* problem) {
    status_ = Status::Malformed;
    problem_ = problem;
}

// Gathers the handshake bytes of the records until the ClientHello's own length is there.
void ClientHelloScan::scanRecords(const unsigned char* data, std::size_t length,
                                  std::size_t limit) {
    std::vector<unsigned char> message;
    std::size_t needed = 0;  // the whole message's bytes, once its header is in
    std::size_t at = 0;
    std::size_t partialEnd = 0;  // where a record that is not all there ends
    while ((needed == 0 || message.size() < needed) && at + RECORD_HEADER <= length) {
        const unsigned char* header = data + at;
        const std::size_t recordLength = header[3] << 8 | header[4];
        if (header[0] != HANDSHAKE_RECORD || header[1] != 3) {
            return fail("ClientHello malformed: a record of another type inside it");
        }
        if (recordLength == 0 || recordLength > MAX_RECORD) {
            return fail("ClientHello malformed: a record length of 0 or above 16384");
        }
        const std::size_t taken = std::min(recordLength, length - at - RECORD_HEADER);
        message.insert(message.end(), header + RECORD_HEADER, header + RECORD_HEADER + taken);
        if (!message.empty() && message[0] != CLIENT_HELLO) {
            return fail("ClientHello malformed: another handshake message first");
        }
        if (needed == 0 && message.size() >= MESSAGE_HEADER) {
            needed = MESSAGE_HEADER + (message[1] << 16 | message[2] << 8 | message[3]);
            if (needed + RECORD_HEADER > limit) {
                status_ = Status::TooLarge;
                return;
            }
        }
        if (taken < recordLength) {
            partialEnd = at + RECORD_HEADER + recordLength;
        }
        at += RECORD_HEADER + taken;
    }
    wanted_ = partialEnd != 0 ? partialEnd : at + RECORD_HEADER;
    if (needed != 0 && message.size() >= needed) {
        status_ = Status::Complete;
        parseMessage(message.data() + MESSAGE_HEADER, needed - MESSAGE_HEADER);
    } else {
        status_ = length >= limit ? Status::TooLarge : Status::NeedMore;
    }
}

void ClientHelloScan::parseMessage(const unsigned char* body, std::size_t length) {
    Cursor in(body, length);
    Cursor sessionId(nullptr, 0), suites(nullptr, 0), compression(nullptr, 0);
    if (!in.skip(2 + RANDOM_BYTES) || !in.vector(1, sessionId) || !in.vector(2, suites) ||
        !in.vector(1, compression)) {
        return fail("ClientHello malformed: it ends inside its fixed fields");
    }
    if (sessionId.left() > MAX_SESSION_ID || suites.left() < 2 || suites.left() % 2 != 0 ||
        compression.left() < 1) {
        return fail("ClientHello malformed: a session id, cipher suite or compression list of a wrong length");
    }
    if (in.left() == 0) {
        return;  // no extensions at all
    }
    Cursor extensions(nullptr, 0);
    if (!in.vector(2, extensions) || in.left() != 0) {
        return fail("ClientHello malformed: the extensions do not fill it");
    }
    parseExtensions(extensions.at(), extensions.left());
}

bool ClientHelloScan::parseExtensions(const unsigned char* at, std::size_t length) {
    Cursor in(at, length);
    bool sawAlpn = false, sawName = false;
    while (in.left() != 0) {
        std::size_t type = 0;
        Cursor body(nullptr, 0), list(nullptr, 0);
        if (!in.number(2, type) || !in.vector(2, body)) {
            fail("ClientHello malformed: an extension overruns it");
            return false;
        }
        if (type == SERVER_NAME_EXTENSION) {
            if (sawName || (body.left() != 0 && (!body.vector(2, list) || body.left() != 0))) {
                fail("ClientHello malformed: its server_name extension");
                return false;
            }
            sawName = true;
            while (list.left() != 0) {
                std::size_t nameType = 0;
                Cursor name(nullptr, 0);
                if (!list.number(1, nameType) || !list.vector(2, name) || name.left() == 0 ||
                    (nameType == HOST_NAME && !PrintableName(name))) {
                    fail("ClientHello malformed: a server name");
                    return false;
                }
                if (nameType == HOST_NAME && !hello_.hasServerName) {
                    hello_.hasServerName = true;
                    hello_.serverName.assign(name.at(), name.at() + name.left());
                }
            }
        } else if (type == ALPN_EXTENSION) {
            if (sawAlpn || !body.vector(2, list) || body.left() != 0 || list.left() == 0) {
                fail("ClientHello malformed: its ALPN extension");
                return false;
            }
            sawAlpn = true;
            while (list.left() != 0) {
                Cursor protocol(nullptr, 0);
                if (!list.vector(1, protocol) || protocol.left() == 0) {
                    fail("ClientHello malformed: an ALPN protocol name");
                    return false;
                }
                hello_.alpn.emplace_back(protocol.at(), protocol.at() + protocol.left());
            }
        }
    }
    return true;
}

}  // namespace tarnwick
