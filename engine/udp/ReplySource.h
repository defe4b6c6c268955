#pragma once

#include <functional>

#include "config/IpAddress.h"
#include "engine/socket/SocketAddress.h"

namespace tarnwick {

// True for an address of this host: loopback, the unspecified address, or an address of
// one of its interfaces.
bool IsLocalAddress(const IpAddress& address);

// Tells a UDP relay's replies from its clients' datagrams. A destination elsewhere may
// answer from another port than the one it was sent to (TFTP and many media and game
// servers do), so any datagram from its address is a reply. A destination on this host
// shares its address with every local client, so there the port must match as well.
class ReplySource {
public:
    using IsLocal = std::function<bool(const IpAddress&)>;

    ReplySource() = default;  // no destination yet: nothing is a reply
    explicit ReplySource(const SocketAddress& destination, const IsLocal& isLocal = IsLocalAddress);

    bool sent(const SocketAddress& sender) const;

private:
    SocketAddress destination_;
    bool portMatters_ = true;
};

}  // namespace tarnwick
