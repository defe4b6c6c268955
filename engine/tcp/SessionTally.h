#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/ConnectionRecord.h"
#include "engine/PortCounters.h"
#include "engine/socket/SocketAddress.h"

namespace tarnwick {

// What one TCP session tells its port's counters and connection log: the route it took, a
// connect that failed, the bytes relayed, and how it ended. The relay keeps its byte counts
// to itself; the session publishes them here at most PUBLISH_INTERVAL apart while they
// grow (a timer of its own), and once more at the end, so that no piece adds to a count
// that other threads share. Lives on the session's thread.
class SessionTally {
public:
    static constexpr std::chrono::milliseconds PUBLISH_INTERVAL{1000};

    // `counters` may be null (a session started without a port's counters): it then counts
    // into a private set.
    explicit SessionTally(std::shared_ptr<PortCounters> counters);

    // The session has taken over the client's connection, `clientFd`.
    void started(int clientFd, std::int32_t listenPort);
    // Where the connection goes and why; `destination` "host:port", or "" for none.
    void routed(const Route& route, std::string destination);
    void connectFailed(int error);
    // The client is `client`, as a PROXY header named it, not the connection's own peer.
    void clientIs(const SocketAddress& client);
    // The connection is reset for the PROXY header it brought, or did not; `note` (a fixed
    // text) says why. Counted, and ended.
    void proxyRefused(EndReason end, const char* note);

    // True when the relay's totals have grown since they were last published.
    bool hasUnpublished(std::uint64_t fromClient, std::uint64_t toClient) const {
        return fromClient != publishedFromClient_ || toClient != publishedToClient_;
    }
    void publish(std::uint64_t fromClient, std::uint64_t toClient);

    // Before the sockets close: the last bytes, the end, and the log's record. Only the
    // first call counts.
    void ended(EndReason end, int error, std::uint64_t fromClient, std::uint64_t toClient);

private:
    std::shared_ptr<PortCounters> counters_;
    ConnectionRecord record_;  // filled in as the session goes, for the log
    std::chrono::steady_clock::time_point startedAt_ = std::chrono::steady_clock::now();
    std::uint64_t publishedFromClient_ = 0;
    std::uint64_t publishedToClient_ = 0;
    bool ended_ = false;
};

}  // namespace tarnwick
