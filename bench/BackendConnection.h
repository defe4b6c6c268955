// One accepted connection of the TCP backend, driven by readiness on a non-blocking socket.
//
// Modes:
//   echo      sends back every byte it receives.
//   tag:TEXT  like echo, with TEXT sent once before the first reply, so that a client
//             can tell which backend a forwarder chose.
//   sink      expects a header "N\n" (N in decimal), then discards N bytes of data and
//             answers "received=N\n" once they are all in, so that the sender knows they
//             crossed every hop. Data past N is discarded too; a bad header ends the
//             connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/UniqueFd.h"

namespace tarnwick::bench {

struct BackendMode {
    enum class Kind { Echo, Sink, Tag };
    Kind kind = Kind::Echo;
    std::string tag;
};

struct BackendCounters {
    std::uint64_t connections = 0;
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
};

class BackendConnection {
public:
    enum class Want { Read, Write, Close };

    BackendConnection(UniqueFd fd, const BackendMode& mode);

    int fd() const { return fd_.get(); }

    // scratch is a receive buffer lent for the call.
    Want onReadable(std::span<char> scratch, BackendCounters& counters);
    Want onWritable(BackendCounters& counters);

private:
    Want echo(std::span<char> scratch, BackendCounters& counters);
    Want sink(std::span<char> scratch, BackendCounters& counters);
    // Takes data after the header; false when the header is malformed.
    bool consumeSink(const char* data, std::size_t size);
    void queue(const char* data, std::size_t size);
    Want flush(BackendCounters& counters);

    UniqueFd fd_;
    const BackendMode& mode_;
    std::string pending_;
    std::size_t pendingSent_ = 0;
    bool tagSent_ = false;
    std::string header_;
    bool headerDone_ = false;
    std::uint64_t expected_ = 0;
    std::uint64_t received_ = 0;
    bool acked_ = false;
};

}  // namespace tarnwick::bench
