// The UDP backend: sends every datagram back to the address it came from.
#pragma once

#include "bench/BackendConnection.h"
#include "base/UniqueFd.h"

namespace tarnwick::bench {

class UdpEcho {
public:
    explicit UdpEcho(UniqueFd socket);

    // Serves on the calling thread until stopFd becomes readable. connections stays 0;
    // bytesIn and bytesOut count payload bytes.
    void serve(int stopFd, BackendCounters& counters) const;

private:
    UniqueFd socket_;
};

}  // namespace tarnwick::bench
