#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "engine/ConnectionRecord.h"
#include "engine/socket/Resolver.h"
#include "engine/socket/SocketAddress.h"
#include "engine/udp/CSocketUDP.h"
#include "engine/udp/ClientKey.h"
#include "engine/udp/ReplySource.h"

namespace tarnwick {

class CThreadUDP;

// One client of a UDP port, from its first datagram until it has been quiet for the
// port's idle time (or is pushed out by newer clients, or the port stops): its own socket
// towards the destination that its first datagram chose, so that whatever comes back on
// that socket is this client's and goes to it alone. The relay (CThreadUDP) owns it, in
// its AssociationTable, and runs everything it does; this is the record and the socket.
class UdpAssociation : private DatagramReceiver {
public:
    using Clock = std::chrono::steady_clock;

    UdpAssociation(CThreadUDP& relay, const SocketAddress& client, const ClientKey& key,
                   Clock::time_point now);
    ~UdpAssociation();
    UdpAssociation(const UdpAssociation&) = delete;
    UdpAssociation& operator=(const UdpAssociation&) = delete;

    // True once the destination is known and the socket can send to it.
    bool ready() const { return !destination.empty(); }

    const SocketAddress client;
    const ClientKey key;
    const Clock::time_point created;
    Clock::time_point lastActive;  // the last datagram either way

    CSocketUDP socket;
    std::string destinationLabel;  // "host:port" as configured
    Route route;
    SocketAddress destination;  // resolved, as the socket sends
    ReplySource replySource;    // which senders on the socket count as the destination

    // While the destination's name is looked up: the lookup, and the client's datagrams
    // that wait for it.
    std::shared_ptr<NameLookup> lookup;
    std::vector<std::vector<unsigned char>> held;

    std::uint64_t bytesFromClient = 0;
    std::uint64_t bytesToClient = 0;

    // Its place in the table's order of use; the table's to set.
    std::list<std::unique_ptr<UdpAssociation>>::iterator place;

private:
    void OnDatagram() override;

    CThreadUDP& relay_;
};

}  // namespace tarnwick
