// The TCP backend: threads that share one listening socket, each with its own epoll set
// and its own connections (see BackendConnection for the modes).
#pragma once

#include "bench/BackendConnection.h"
#include "base/UniqueFd.h"

namespace tarnwick::bench {

class TcpBackend {
public:
    TcpBackend(UniqueFd listener, BackendMode mode);

    // Serves connections on the calling thread until stopFd becomes readable. Any number
    // of threads may serve at once; each counts into its own counters.
    void serve(int stopFd, BackendCounters& counters) const;

private:
    UniqueFd listener_;
    BackendMode mode_;
};

}  // namespace tarnwick::bench
