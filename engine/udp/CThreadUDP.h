#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/AllowedClients.h"
#include "engine/CThreadPort.h"
#include "engine/routing/CaptureLog.h"
#include "engine/routing/RoutingTable.h"
#include "engine/udp/AssociationTable.h"
#include "engine/udp/CSocketUDP.h"
#include "engine/udp/ClientDeadlines.h"
#include "engine/udp/UdpAssociation.h"

namespace tarnwick {

// The worker of a running UDP port. Clients send to one datagram socket on `listenPort`
// at `listenAddress`; each client (address and port) gets an association of its own with
// its first datagram: a socket towards the destination that this first datagram chose
// (rules and capture included, as for a TCP session's first data), from which the
// client's datagrams go on and on which the destination's replies come back, so that every
// reply goes to the client that asked and to no other, from the listening socket. On
// that socket a destination elsewhere may answer from any port; one on this host only
// from its own. The destination is the first of its host's addresses that the socket can
// reach: an IPv6 destination needs an IPv6 listen address.
//
// An association ends after `udpIdleSeconds` without a datagram either way; when the port
// holds `udpMaxAssociations`, the least recently used one ends to make room. A destination
// given as a host name is looked up off the loops (Resolver), per association: its
// datagrams wait meanwhile (a few; more are dropped). A destination that cannot be
// resolved or reached ends that association only: it is counted and logged with the
// reason, and the client's datagrams are dropped for LOOKUP_BACKOFF; the port and every
// other client go on. Clients outside `allowFrom` are dropped unseen and counted, and
// logged at most once per address per REFUSED_LOG_INTERVAL.
//
// Starts, stops and restarts as every port worker does (CThreadPort): the port is open
// once the socket is bound; a restart hands the bound socket, with what waits in it, to
// the next worker (the associations end with this one). Each ended association gets its
// record for the connection log.
class CThreadUDP : public CThreadPort, private DatagramReceiver {
public:
    using Clock = std::chrono::steady_clock;

    // The most bytes of one datagram that are relayed, matched and captured; the rest of a
    // longer datagram is lost.
    static constexpr std::size_t RECEIVE_BUFFER_SIZE = 8192;
    static constexpr int DATAGRAMS_PER_NOTICE = 32;
    // How long a client whose destination failed has its datagrams dropped.
    static constexpr std::chrono::seconds LOOKUP_BACKOFF{5};
    // Datagrams an association keeps while its destination's name is looked up.
    static constexpr std::size_t HELD_DATAGRAMS = 16;
    // At most one log line per refused client address in this time, for at most
    // REFUSED_LOG_CLIENTS addresses at once.
    static constexpr std::chrono::seconds REFUSED_LOG_INTERVAL{60};
    static constexpr std::size_t REFUSED_LOG_CLIENTS = 1024;
    // The longest time between two looks for idle associations.
    static constexpr std::chrono::milliseconds SWEEP_MAX_INTERVAL{1000};

    // `captureLog` receives the dump of each association's first datagram; never null.
    explicit CThreadUDP(std::shared_ptr<CaptureLog> captureLog);
    ~CThreadUDP() override;

    // An association's socket has datagrams waiting: relay the destination's replies.
    void OnReply(UdpAssociation& association);

protected:
    void onMessage(const Message& message) override;
    void onTimer(TimerId id) override;
    // Binds the socket to the copy's address and port.
    int OpenPort() override;
    // Closes the socket (or keeps it for the next worker) and ends every association.
    bool ClosePort(bool handOver) override;

private:
    // The listening socket has datagrams waiting: relay the clients'.
    void OnDatagram() override;
    // One client datagram; false when none was waiting.
    bool RelayDatagram(Clock::time_point now);
    void Associate(const SocketAddress& sender, const ClientKey& key, const unsigned char* data,
                   std::size_t count, Clock::time_point now);
    bool RouteAssociation(UdpAssociation& association, const unsigned char* data,
                          std::size_t count);
    bool UseDestination(UdpAssociation& association, const std::vector<SocketAddress>& addresses);
    bool ToDestination(UdpAssociation& association, const unsigned char* data, std::size_t count);
    bool RelayReply(UdpAssociation& association, Clock::time_point now);
    void OnNameResolved(std::uintptr_t tag);
    void DestinationFailed(UdpAssociation& association, EndReason why, int error,
                           const std::string& reason);
    void Refuse(const SocketAddress& sender, Clock::time_point now);
    void EndAssociation(UdpAssociation& association, EndReason why, int error = 0,
                        const std::string& detail = {});
    void LogEnd(const UdpAssociation& association, EndReason why, int error,
                const std::string& detail);
    void Sweep(Clock::time_point now);
    void StopSweeping();

    CSocketUDP udpSocket;
    SocketAddress localAddress;  // where udpSocket is bound
    SocketAddress sendFrom;      // where association sockets bind: its address, any port
    AllowedClients allowedClients;
    // The port's rules, read once when the socket is bound, and its capture flag.
    std::shared_ptr<const RoutingTable> routing;
    std::int32_t captureFirstPacket = 0;
    Clock::duration idleTime = std::chrono::seconds(DEFAULT_UDP_IDLE_SECONDS);
    std::size_t maxAssociations = DEFAULT_UDP_MAX_ASSOCIATIONS;

    AssociationTable associations;
    std::unordered_map<std::uintptr_t, UdpAssociation*> resolving;  // by lookup tag
    std::uintptr_t lookups = 0;
    ClientDeadlines backOff{DEFAULT_UDP_MAX_ASSOCIATIONS};
    ClientDeadlines refusedLogged{REFUSED_LOG_CLIENTS};
    TimerId sweepTimer = 0;
};

}  // namespace tarnwick
