#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/AllowedClients.h"
#include "engine/CThreadPort.h"
#include "engine/routing/CaptureLog.h"
#include "engine/routing/RoutingTable.h"
#include "engine/socket/Resolver.h"
#include "engine/udp/CSocketUDP.h"
#include "engine/udp/ReplySource.h"

namespace tarnwick {

// The worker of a running UDP port: one datagram socket on `listenPort` at `listenAddress`
// serves every client and the destination. The first datagram of a run picks the
// destination for the whole run (rules and capture included, as for a TCP session's first
// data); datagrams from the destination go back to the last client that sent one. A
// destination elsewhere may answer from any port; one on this host only from its own.
// Datagrams from clients outside `allowFrom` are dropped unseen: they neither pick the
// destination nor become the client. The destination is the first of its host's addresses
// that the socket can reach: an IPv6 destination needs an IPv6 listen address.
//
// A destination given as a host name is looked up off the loops (Resolver): the first
// datagram waits for the answer, and the socket is not read meanwhile, so later datagrams
// wait in its receive buffer rather than being lost.
//
// Starts, stops and restarts as every port worker does (CThreadPort): the port is open
// once the socket is bound; a restart hands the bound socket, with what waits in it, to
// the next worker. A send that fails, or a destination that cannot be resolved, ends the
// relay with WM_PORT_STOP to the owner. The run's counters get its record for the
// connection log when the relay ends.
class CThreadUDP : public CThreadPort {
public:
    // The most bytes of one datagram that are relayed, matched and captured; the rest of a
    // longer datagram is lost.
    static constexpr std::size_t RECEIVE_BUFFER_SIZE = 8192;
    static constexpr int DATAGRAMS_PER_NOTICE = 32;

    // `captureLog` receives the dump of each run's first datagram; it must not be null.
    explicit CThreadUDP(std::shared_ptr<CaptureLog> captureLog);

    // `udpSocket` has a datagram waiting: relay it.
    void OnDatagram();

protected:
    void onMessage(const Message& message) override;
    // Binds the socket to the copy's address and port.
    int OpenPort() override;
    // Closes the socket (or keeps it for the next worker) and logs the run.
    bool ClosePort(bool handOver) override;

private:
    // One datagram; false when no more should be read now.
    bool RelayDatagram();
    bool Forward(const unsigned char* data, std::size_t count, const SocketAddress& sender);
    // Routes the run by its first datagram and resolves the destination once; false when
    // the destination cannot be used.
    bool ChooseRunDestination(const unsigned char* data, std::size_t length,
                              const SocketAddress& sender);
    bool UseDestination(const std::vector<SocketAddress>& addresses);
    void OnNameResolved(std::uintptr_t tag);
    void DestinationFailed(int error);
    bool Admits(const SocketAddress& sender) const;
    bool FromDestination(const SocketAddress& sender) const;
    void LogRun();

    CSocketUDP udpSocket;
    std::chrono::steady_clock::time_point runStart;  // when the socket was bound
    int runError = 0;            // errno of the send or lookup that ended the run; 0 = none
    SocketAddress localAddress;  // where udpSocket is bound
    AllowedClients allowedClients;
    // The port's rules, read once when the socket is bound, and the run's capture flag.
    std::shared_ptr<const RoutingTable> routing;
    std::int32_t captureFirstPacket = 0;
    bool destinationChosen = false;
    std::string destIp;           // the destination's host as configured: an address or a name
    SocketAddress destAddress;    // destIp resolved once, with its port, as udpSocket sends
    ReplySource replySource;      // which senders count as destAddress
    SocketAddress clientAddress;  // the last client; empty = none yet in this run
    std::shared_ptr<NameLookup> lookup;  // while destIp, a name, is looked up
    std::uintptr_t lookups = 0;
    std::vector<unsigned char> heldDatagram;  // the first datagram, while it waits for that
    SocketAddress heldSender;
};

}  // namespace tarnwick
