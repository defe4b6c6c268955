#include "engine/udp/UdpAssociation.h"

#include "engine/udp/CThreadUDP.h"

namespace tarnwick {

UdpAssociation::UdpAssociation(CThreadUDP& relay, const SocketAddress& client, const ClientKey& key,
                               Clock::time_point now)
    : client(client), key(key), created(now), lastActive(now), socket(*this), relay_(relay) {}

UdpAssociation::~UdpAssociation() {
    if (lookup) {
        lookup->abandoned = true;
    }
}

void UdpAssociation::OnDatagram() {
    relay_.OnReply(*this);
}

}  // namespace tarnwick
