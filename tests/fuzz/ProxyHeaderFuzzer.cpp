// The PROXY header reader on any bytes: it decides within MAX_SIZE bytes, a decision does
// not change when more bytes come, everything short of a whole header asks for more, and
// the client of a whole header, written again in either version, is read back the same.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "config/ForwardingPort.h"
#include "engine/tcp/ProxyHeader.h"
#include "engine/tcp/ProxyHeaderReader.h"

namespace {

using tarnwick::ProxyHeaderReader;
using Status = ProxyHeaderReader::Status;

void Check(bool holds) {
    if (!holds) std::abort();
}

// The bytes are copied to a buffer of exactly their size, so that a read past the end
// shows under the sanitizers.
ProxyHeaderReader::Result Parse(const std::uint8_t* data, std::size_t size) {
    std::vector<unsigned char> exact(data, data + size);
    return ProxyHeaderReader::Parse(exact.data(), exact.size());
}

bool Same(const ProxyHeaderReader::Result& a, const ProxyHeaderReader::Result& b) {
    if (a.status != b.status || a.size != b.size || a.source.has_value() != b.source.has_value()) {
        return false;
    }
    return !a.source ||
           (a.source->samePeer(*b.source) && a.destination->samePeer(*b.destination));
}

void CheckWrittenAgain(const ProxyHeaderReader::Result& read) {
    for (std::int32_t version : {tarnwick::PROXY_PROTOCOL_V1, tarnwick::PROXY_PROTOCOL_V2}) {
        std::vector<unsigned char> header =
            tarnwick::ProxyHeader::Build(version, *read.source, *read.destination);
        ProxyHeaderReader::Result again = Parse(header.data(), header.size());
        Check(again.status == Status::Complete && again.size == header.size() && again.source);
        Check(again.source->samePeer(*read.source));
        Check(again.destination->samePeer(*read.destination));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ProxyHeaderReader::Result whole = Parse(data, size);
    Check(whole.status != Status::Incomplete || size < ProxyHeaderReader::MAX_SIZE);
    if (whole.status == Status::Complete) {
        Check(whole.size > 0 && whole.size <= size && whole.size <= ProxyHeaderReader::MAX_SIZE);
        Check(whole.source.has_value() == whole.destination.has_value());
        Check(Same(Parse(data, whole.size), whole));
        Check(Parse(data, whole.size - 1).status == Status::Incomplete);
        Check(Parse(data, whole.size / 2).status == Status::Incomplete);
        if (whole.source) {
            CheckWrittenAgain(whole);
        }
    }
    // Whatever a part of the bytes decided, all of them decide alike.
    for (std::size_t part : {size / 2, size / 3, std::size_t{16}, std::size_t{107}}) {
        if (part <= size) {
            const ProxyHeaderReader::Result early = Parse(data, part);
            Check(early.status == Status::Incomplete || Same(early, whole) ||
                  (early.status == Status::Invalid && whole.status == Status::Invalid));
        }
    }
    return 0;
}
