#include "engine/udp/CThreadUDP.h"

#include <cerrno>
#include <utility>
#include <vector>

#include "engine/routing/ChooseDestination.h"

namespace tarnwick {

CThreadUDP::CThreadUDP(std::shared_ptr<CaptureLog> captureLog)
    : CThreadPort(std::move(captureLog)), udpSocket(*this) {}

int CThreadUDP::OpenPort() {
    auto local = SocketAddress::ForListening(portCopy->listenAddress, portCopy->listenPort);
    int result = captureLog && local ? udpSocket.Open(*local) : -EINVAL;
    if (result == 0) {
        localAddress = *local;
        allowedClients = AllowedClients(portCopy->allowFrom);
        runStart = std::chrono::steady_clock::now();
    }
    return result;
}

void CThreadUDP::ClosePort() {
    udpSocket.Close();
    LogRun();
}

// Relays the datagrams that are waiting, a bounded number per notice so that commands
// posted meanwhile are not held up; the loop calls again while more are waiting.
void CThreadUDP::OnDatagram() {
    for (int count = 0; count < DATAGRAMS_PER_NOTICE && portCopy; ++count) {
        if (!RelayDatagram()) {
            return;
        }
    }
}

// One datagram; false when none was waiting.
bool CThreadUDP::RelayDatagram() {
    unsigned char buffer[RECEIVE_BUFFER_SIZE];
    SocketAddress sender;
    long length = udpSocket.ReceiveFrom(buffer, sizeof buffer, sender);
    if (length == -EMSGSIZE) {
        length = RECEIVE_BUFFER_SIZE;  // too long: its first part goes on like any datagram
    }
    if (length == -EAGAIN) {
        return false;
    }
    if (length <= 0) {
        return true;  // empty datagram, or an error: ignored, the relay goes on
    }
    std::size_t count = static_cast<std::size_t>(length);
    if (!Admits(sender)) {
        return true;  // a client that is not allowed: dropped before it counts for anything
    }
    if (!destinationChosen && !ChooseRunDestination(buffer, count)) {
        runError = EHOSTUNREACH;
        OnStop(false);
        return false;
    }
    const SocketAddress* target = &destAddress;
    const bool reply = FromDestination(sender);
    if (reply) {
        if (clientAddress.empty()) {
            return true;  // a reply before any client: nobody to give it to
        }
        target = &clientAddress;
    } else {
        clientAddress = sender;
    }
    long sent = udpSocket.SendTo(buffer, count, *target);
    if (sent == -EAGAIN) {
        counters->datagramDropped();  // as a full network queue would: the relay never waits
        return true;
    }
    if (sent < 0) {
        runError = static_cast<int>(-sent);
        OnStop(false);
        return false;
    }
    if (reply) {
        counters->datagramToClient(count);
    } else {
        counters->datagramFromClient(count);
    }
    return true;
}

bool CThreadUDP::ChooseRunDestination(const unsigned char* data, std::size_t length) {
    destinationChosen = true;
    std::int32_t port = 0;
    int rule = ChooseDestination(*portCopy, data, length, destIp, port, *captureLog);
    Route route{portCopy->isSmart() ? (rule >= 0 ? RouteKind::Rule : RouteKind::NoMatch)
                                    : RouteKind::Standard,
                rule};
    counters->setUdpDestination(HostPortLabel(destIp, port), route);
    if (port < 0 || port > 65535) {
        return false;
    }
    for (const SocketAddress& address : SocketAddress::Resolve(destIp, port)) {
        if (auto reachable = address.reachableFrom(localAddress)) {
            destAddress = *reachable;
            replySource = ReplySource(destAddress);
            return true;
        }
    }
    return false;
}

// The destination's replies always pass; a client must be one of the allowed ones.
bool CThreadUDP::Admits(const SocketAddress& sender) const {
    return (destinationChosen && FromDestination(sender)) || allowedClients.admits(sender);
}

// An IPv4 peer of a socket that serves both families counts as its IPv4 address.
bool CThreadUDP::FromDestination(const SocketAddress& sender) const {
    return replySource.sent(sender);
}

// The run's line of the connection log: its last client, its destination and route, what
// it relayed, and how it ended. Once per run, while the copy is still there.
void CThreadUDP::LogRun() {
    if (!portCopy || runStart == std::chrono::steady_clock::time_point() ||
        !counters->logsConnections()) {
        return;
    }
    PortCounters::Snapshot counts = counters->snapshot();
    ConnectionRecord record;
    record.udp = true;
    record.listenPort = portCopy->listenPort;
    record.client = clientAddress.toString();
    record.destination = counts.udpDestination;
    record.route = counts.udpRoute;
    record.bytesFromClient = counts.bytesFromClients;
    record.bytesToClient = counts.bytesToClients;
    record.endedAt = std::chrono::system_clock::now();
    record.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - runStart);
    record.end = runError != 0 ? EndReason::Failed : EndReason::Stopped;
    record.error = runError;
    counters->logConnection(std::move(record));
}

}  // namespace tarnwick
