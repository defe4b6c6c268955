#include "engine/tcp/SessionTally.h"

#include "engine/socket/SocketAddress.h"

namespace tarnwick {

SessionTally::SessionTally(std::shared_ptr<PortCounters> counters)
    : counters_(counters ? std::move(counters) : std::make_shared<PortCounters>()) {}

void SessionTally::started(int clientFd, std::int32_t listenPort) {
    record_.listenPort = listenPort;
    if (counters_->logsConnections()) {
        // Asked now: once the client has reset the connection, its address is gone.
        record_.client = SocketAddress::PeerOf(clientFd).toString();
    }
}

void SessionTally::routed(const Route& route, std::string destination) {
    counters_->connectionRouted(route);
    record_.route = route;
    record_.destination = std::move(destination);
}

void SessionTally::connectFailed(int error) {
    counters_->connectFailed(error);
}

void SessionTally::clientIs(const SocketAddress& client) {
    if (counters_->logsConnections()) {
        record_.client = client.toString();
    }
}

void SessionTally::proxyRefused(EndReason end, const char* note) {
    if (end == EndReason::ClientNotAllowed) {
        counters_->proxyClientRefused();
    } else {
        counters_->proxyHeaderRefused();
    }
    record_.note = note;
    ended(end, 0, 0, 0);
}

void SessionTally::publish(std::uint64_t fromClient, std::uint64_t toClient) {
    if (fromClient != publishedFromClient_) {
        counters_->addFromClient(fromClient - publishedFromClient_);
        publishedFromClient_ = fromClient;
    }
    if (toClient != publishedToClient_) {
        counters_->addToClient(toClient - publishedToClient_);
        publishedToClient_ = toClient;
    }
}

void SessionTally::ended(EndReason end, int error, std::uint64_t fromClient,
                         std::uint64_t toClient) {
    if (ended_) {
        return;
    }
    ended_ = true;
    publish(fromClient, toClient);
    if (end == EndReason::Reset) {
        counters_->connectionReset();
    }
    counters_->connectionEnded();
    if (counters_->logsConnections()) {
        record_.bytesFromClient = fromClient;
        record_.bytesToClient = toClient;
        record_.endedAt = std::chrono::system_clock::now();
        record_.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - startedAt_);
        record_.end = end;
        record_.error = error;
        counters_->logConnection(std::move(record_));
    }
}

}  // namespace tarnwick
