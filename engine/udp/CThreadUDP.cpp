#include "engine/udp/CThreadUDP.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/EngineMessages.h"
#include "engine/routing/ChooseDestination.h"
#include "engine/socket/Resolver.h"

namespace tarnwick {

namespace {

// The listen address with any port: association sockets send from the port's address.
SocketAddress AnyPortOf(SocketAddress local) {
    if (local.family() == AF_INET) {
        reinterpret_cast<sockaddr_in*>(local.get())->sin_port = 0;
    } else if (local.family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(local.get())->sin6_port = 0;
    }
    return local;
}

}  // namespace

CThreadUDP::CThreadUDP(std::shared_ptr<CaptureLog> captureLog)
    : CThreadPort(std::move(captureLog)), udpSocket(static_cast<DatagramReceiver&>(*this)) {}

CThreadUDP::~CThreadUDP() = default;

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
        sendFrom = AnyPortOf(*local);
        routing = std::make_shared<const RoutingTable>(portCopy);
        captureFirstPacket = portCopy->captureFirstPacket;
        allowedClients = AllowedClients(portCopy->allowFrom);
        idleTime = std::chrono::seconds(
            std::clamp(portCopy->udpIdleSeconds, MIN_UDP_IDLE_SECONDS, MAX_UDP_IDLE_SECONDS));
        maxAssociations = static_cast<std::size_t>(std::clamp(
            portCopy->udpMaxAssociations, MIN_UDP_MAX_ASSOCIATIONS, MAX_UDP_MAX_ASSOCIATIONS));
    }
    return result;
}

bool CThreadUDP::ClosePort(bool handOver) {
    if (handOver && udpSocket.isOpen()) {
        KeepSocket(udpSocket.Detach());
    }
    udpSocket.Close();
    StopSweeping();
    while (UdpAssociation* association = associations.leastRecent()) {
        EndAssociation(*association, EndReason::Stopped);
    }
    routing.reset();
    return true;
}

// Relays the datagrams that are waiting, a bounded number per notice so that commands
// posted meanwhile are not held up; the loop calls again while more are waiting.
void CThreadUDP::OnDatagram() {
    const Clock::time_point now = Clock::now();
    for (int count = 0; count < DATAGRAMS_PER_NOTICE && portCopy; ++count) {
        if (!RelayDatagram(now)) {
            return;
        }
    }
}

bool CThreadUDP::RelayDatagram(Clock::time_point now) {
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
    const auto count = static_cast<std::size_t>(length);
    const ClientKey key = ClientKey::Of(sender);
    UdpAssociation* association = associations.find(key);
    if (association == nullptr) {
        Associate(sender, key, buffer, count, now);
        return true;  // its first datagram has gone on, waits, or was dropped
    }
    association->lastActive = now;
    associations.touch(*association);
    if (association->ready()) {
        ToDestination(*association, buffer, count);
    } else if (association->held.size() < HELD_DATAGRAMS) {
        association->held.emplace_back(buffer, buffer + count);
    } else {
        counters->datagramDropped();
    }
    return true;
}

// A client's first datagram: a new association, routed by it, or none when the client
// is not admitted or backs off.
void CThreadUDP::Associate(const SocketAddress& sender, const ClientKey& key,
                           const unsigned char* data, std::size_t count, Clock::time_point now) {
    if (!allowedClients.admits(sender)) {
        Refuse(sender, now);
        return;
    }
    if (backOff.active(key, now)) {
        counters->datagramDropped();
        return;
    }
    if (associations.size() >= maxAssociations) {
        EndAssociation(*associations.leastRecent(), EndReason::Evicted);
    }
    auto created = std::make_unique<UdpAssociation>(*this, sender, key, now);
    if (created->socket.Open(sendFrom, false) != 0) {
        counters->datagramDropped();  // out of descriptors: the client may try again
        return;
    }
    UdpAssociation& association = associations.add(std::move(created));
    counters->associationCreated();
    if (sweepTimer == 0) {
        auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(idleTime / 4);
        sweepTimer =
            setTimer(std::clamp(interval, std::chrono::milliseconds(1), SWEEP_MAX_INTERVAL));
    }
    if (RouteAssociation(association, data, count) && association.ready()) {
        ToDestination(association, data, count);
    }
}

// Chooses the association's destination by its first datagram; false when it failed (the
// association has ended). A name is looked up, with the datagram held meanwhile.
bool CThreadUDP::RouteAssociation(UdpAssociation& association, const unsigned char* data,
                                  std::size_t count) {
    std::int32_t capture = captureFirstPacket;
    std::string host;
    std::int32_t port = 0;
    int rule = ChooseDestination(*routing, capture, data, count, host, port, *captureLog);
    association.route =
        Route{portCopy->isSmart() ? (rule >= 0 ? RouteKind::Rule : RouteKind::NoMatch)
                                  : RouteKind::Standard,
              rule};
    association.destinationLabel = HostPortLabel(host, port);
    counters->setUdpDestination(association.destinationLabel, association.route);
    if (auto literal = SocketAddress::ResolveLiteral(host, port)) {
        return UseDestination(association, *literal);
    }
    association.held.emplace_back(data, data + count);
    const std::uintptr_t tag = ++lookups;
    association.lookup = Resolver::instance().lookUp(host, port, threadId(), WM_NAME_RESOLVED, tag);
    resolving[tag] = &association;
    return true;
}

// The first of the destination's addresses that the association's socket can reach.
bool CThreadUDP::UseDestination(UdpAssociation& association,
                                const std::vector<SocketAddress>& addresses) {
    for (const SocketAddress& address : addresses) {
        if (auto reachable = address.reachableFrom(localAddress)) {
            association.destination = *reachable;
            association.replySource = ReplySource(association.destination);
            return true;
        }
    }
    DestinationFailed(association, EndReason::Failed, EHOSTUNREACH,
                      addresses.empty() ? "port out of range" : std::strerror(EHOSTUNREACH));
    return false;
}

// The datagrams held for the lookup go on, in the order they came.
void CThreadUDP::OnNameResolved(std::uintptr_t tag) {
    auto found = resolving.find(tag);
    if (found == resolving.end() || !portCopy) {
        return;
    }
    UdpAssociation& association = *found->second;
    resolving.erase(found);
    std::shared_ptr<NameLookup> lookup = std::move(association.lookup);
    if (lookup->addresses.empty()) {
        DestinationFailed(association, EndReason::LookupFailed, 0, lookup->failure);
        return;
    }
    if (!UseDestination(association, lookup->addresses)) {
        return;
    }
    std::vector<std::vector<unsigned char>> held = std::move(association.held);
    for (const auto& datagram : held) {
        if (!ToDestination(association, datagram.data(), datagram.size())) {
            return;  // it failed and has ended
        }
    }
}

// False when the send failed, which ends the association.
bool CThreadUDP::ToDestination(UdpAssociation& association, const unsigned char* data,
                               std::size_t count) {
    long sent = association.socket.SendTo(data, count, association.destination);
    if (sent == -EAGAIN) {
        counters->datagramDropped();  // as a full network queue would: the relay never waits
    } else if (sent < 0) {
        const int error = static_cast<int>(-sent);
        DestinationFailed(association, EndReason::Failed, error, std::strerror(error));
        return false;
    } else {
        association.bytesFromClient += count;
        counters->datagramFromClient(count);
    }
    return true;
}

// The destination's replies on the association's socket go to its client, from the
// port's socket. Nothing here ends the association: this runs inside its socket's notice.
void CThreadUDP::OnReply(UdpAssociation& association) {
    const Clock::time_point now = Clock::now();
    for (int count = 0; count < DATAGRAMS_PER_NOTICE && portCopy; ++count) {
        if (!RelayReply(association, now)) {
            return;
        }
    }
}

bool CThreadUDP::RelayReply(UdpAssociation& association, Clock::time_point now) {
    unsigned char buffer[RECEIVE_BUFFER_SIZE];
    SocketAddress sender;
    long length = association.socket.ReceiveFrom(buffer, sizeof buffer, sender);
    if (length == -EMSGSIZE) {
        length = RECEIVE_BUFFER_SIZE;
    }
    if (length == -EAGAIN) {
        return false;
    }
    if (length <= 0 || !association.replySource.sent(sender)) {
        return true;  // empty, an error, or not from the destination: ignored
    }
    const auto count = static_cast<std::size_t>(length);
    association.lastActive = now;
    associations.touch(association);
    if (udpSocket.SendTo(buffer, count, association.client) < 0) {
        counters->datagramDropped();  // the client cannot be sent to now: it is lost
        return true;
    }
    association.bytesToClient += count;
    counters->datagramToClient(count);
    return true;
}

// The association ends; the client's datagrams are dropped for a while, so that a
// client that keeps sending does not start a lookup or a failing send each time.
void CThreadUDP::DestinationFailed(UdpAssociation& association, EndReason why, int error,
                                   const std::string& reason) {
    const std::string host = association.destinationLabel;
    counters->lookupFailed(host + ": " + reason);
    backOff.start(association.key, Clock::now() + LOOKUP_BACKOFF, Clock::now());
    EndAssociation(association, why, error, reason);
}

// A client outside allowFrom: its datagram is dropped and counted; a log line says so,
// at most once per address per REFUSED_LOG_INTERVAL.
void CThreadUDP::Refuse(const SocketAddress& sender, Clock::time_point now) {
    counters->clientRefused();
    if (!counters->logsConnections()) {
        return;
    }
    const ClientKey address = ClientKey::Of(sender, false);
    if (refusedLogged.active(address, now) ||
        !refusedLogged.start(address, now + REFUSED_LOG_INTERVAL, now)) {
        return;
    }
    ConnectionRecord record;
    record.udp = true;
    record.listenPort = portCopy->listenPort;
    record.client = sender.toString();
    record.endedAt = std::chrono::system_clock::now();
    record.end = EndReason::Refused;
    counters->logConnection(std::move(record));
}

void CThreadUDP::EndAssociation(UdpAssociation& association, EndReason why, int error,
                                const std::string& detail) {
    LogEnd(association, why, error, detail);
    if (association.lookup) {
        for (auto it = resolving.begin(); it != resolving.end(); ++it) {
            if (it->second == &association) {
                resolving.erase(it);
                break;
            }
        }
    }
    counters->associationEnded(why);
    associations.remove(association);  // closes its socket
}

void CThreadUDP::LogEnd(const UdpAssociation& association, EndReason why, int error,
                        const std::string& detail) {
    if (!portCopy || !counters->logsConnections()) {
        return;
    }
    ConnectionRecord record;
    record.udp = true;
    record.listenPort = portCopy->listenPort;
    record.client = association.client.toString();
    record.destination = association.destinationLabel;
    record.route = association.route;
    record.bytesFromClient = association.bytesFromClient;
    record.bytesToClient = association.bytesToClient;
    record.endedAt = std::chrono::system_clock::now();
    record.duration =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - association.created);
    record.end = why;
    record.error = error;
    record.detail = detail;
    counters->logConnection(std::move(record));
}

void CThreadUDP::onTimer(TimerId id) {
    if (id == sweepTimer) {
        Sweep(Clock::now());
    }
}

// Ends the associations that have been quiet for the idle time: the least recently used
// come first, so the look stops at the first that is still in use.
void CThreadUDP::Sweep(Clock::time_point now) {
    while (UdpAssociation* oldest = associations.leastRecent()) {
        if (now - oldest->lastActive < idleTime) {
            break;
        }
        EndAssociation(*oldest, EndReason::Idle);
    }
    backOff.prune(now);
    if (associations.empty()) {
        StopSweeping();  // an idle port wakes nobody; the next association sets it again
    }
}

void CThreadUDP::StopSweeping() {
    if (sweepTimer != 0) {
        killTimer(sweepTimer);
        sweepTimer = 0;
    }
}

}  // namespace tarnwick
