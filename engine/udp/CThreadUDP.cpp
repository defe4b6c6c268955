#include "engine/udp/CThreadUDP.h"

#include <cerrno>
#include <utility>
#include <vector>

#include "engine/EngineMessages.h"
#include "engine/routing/ChooseDestination.h"

namespace tarnwick {

CThreadUDP::CThreadUDP(std::shared_ptr<CaptureLog> captureLog)
    : CThreadPort(std::move(captureLog)), udpSocket(*this) {}

void CThreadUDP::onMessage(const Message& message) {
    if (message.message == WM_NAME_RESOLVED) {
        OnNameResolved(message.wParam);
    } else {
        CThreadPort::onMessage(message);
    }
}

// Serves the socket the previous worker of this port handed on, when it is bound to the
// same place: the datagrams waiting in it are relayed, and the port is never unbound.
int CThreadUDP::OpenPort() {
    auto local = SocketAddress::ForListening(portCopy->listenAddress, portCopy->listenPort);
    if (!captureLog || !local) {
        return -EINVAL;
    }
    UniqueFd inherited = TakeInheritedSocket(*local, SOCK_DGRAM);
    int result;
    if (inherited.valid() && udpSocket.Attach(inherited.get(), true, SocketType::Datagram)) {
        inherited.release();
        result = 0;
    } else {
        inherited.reset();
        result = udpSocket.Open(*local);
    }
    if (result == 0) {
        localAddress = *local;
        routing = std::make_shared<const RoutingTable>(portCopy);
        captureFirstPacket = portCopy->captureFirstPacket;
        allowedClients = AllowedClients(portCopy->allowFrom);
        runStart = std::chrono::steady_clock::now();
    }
    return result;
}

bool CThreadUDP::ClosePort(bool handOver) {
    if (handOver && udpSocket.isOpen()) {
        KeepSocket(udpSocket.Detach());
    }
    udpSocket.Close();
    routing.reset();
    if (lookup) {
        lookup->abandoned = true;
        lookup.reset();
    }
    LogRun();
    return true;
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
    if (!destinationChosen) {
        if (!ChooseRunDestination(buffer, count, sender)) {
            DestinationFailed(EHOSTUNREACH);
            return false;
        }
        if (lookup) {
            return false;  // the datagram waits for the lookup; the socket is not read
        }
    }
    return Forward(buffer, count, sender);
}

// Sends a datagram on: a client's to the destination, the destination's to the last client.
bool CThreadUDP::Forward(const unsigned char* buffer, std::size_t count,
                         const SocketAddress& sender) {
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
        DestinationFailed(static_cast<int>(-sent));
        return false;
    }
    if (reply) {
        counters->datagramToClient(count);
    } else {
        counters->datagramFromClient(count);
    }
    return true;
}

bool CThreadUDP::ChooseRunDestination(const unsigned char* data, std::size_t length,
                                      const SocketAddress& sender) {
    destinationChosen = true;
    std::int32_t port = 0;
    int rule =
        ChooseDestination(*routing, captureFirstPacket, data, length, destIp, port, *captureLog);
    Route route{portCopy->isSmart() ? (rule >= 0 ? RouteKind::Rule : RouteKind::NoMatch)
                                    : RouteKind::Standard,
                rule};
    counters->setUdpDestination(HostPortLabel(destIp, port), route);
    if (port < 0 || port > 65535) {
        return false;
    }
    if (auto literal = SocketAddress::ResolveLiteral(destIp, port)) {
        return UseDestination(*literal);
    }
    heldDatagram.assign(data, data + length);
    heldSender = sender;
    udpSocket.setReadNotices(false);
    lookup = Resolver::instance().lookUp(destIp, port, threadId(), WM_NAME_RESOLVED, ++lookups);
    return true;
}

// The first of the destination's addresses that the socket can reach.
bool CThreadUDP::UseDestination(const std::vector<SocketAddress>& addresses) {
    for (const SocketAddress& address : addresses) {
        if (auto reachable = address.reachableFrom(localAddress)) {
            destAddress = *reachable;
            replySource = ReplySource(destAddress);
            return true;
        }
    }
    return false;
}

// The held datagram goes on as the first of the run, then the socket is read again.
void CThreadUDP::OnNameResolved(std::uintptr_t tag) {
    if (!lookup || tag != lookups || !portCopy) {
        return;
    }
    const bool usable = UseDestination(lookup->addresses);
    lookup.reset();
    if (!usable) {
        DestinationFailed(EHOSTUNREACH);
        return;
    }
    std::vector<unsigned char> datagram = std::move(heldDatagram);
    heldDatagram.clear();
    if (Forward(datagram.data(), datagram.size(), heldSender)) {
        udpSocket.setReadNotices(true);
    }
}

void CThreadUDP::DestinationFailed(int error) {
    runError = error;
    OnStop(false);
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
