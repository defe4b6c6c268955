#include "engine/udp/ReplySource.h"

#include <ifaddrs.h>

#include <algorithm>
#include <memory>

namespace tarnwick {

namespace {

bool IsLoopbackOrUnspecified(const IpAddress& address) {
    const auto& bytes = address.bytes();
    if (address.isIPv4()) {
        return bytes[0] == 127 || (bytes[0] | bytes[1] | bytes[2] | bytes[3]) == 0;
    }
    for (std::size_t i = 0; i < 15; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return bytes[15] <= 1;  // "::" or "::1"
}

}  // namespace

bool IsLocalAddress(const IpAddress& address) {
    if (IsLoopbackOrUnspecified(address)) {
        return true;
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owned(list, ::freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        auto local = IpAddress::FromSockaddr(*entry->ifa_addr);
        if (local && local->family() == address.family() &&
            std::equal(local->bytes().begin(), local->bytes().begin() + local->size(),
                       address.bytes().begin())) {
            return true;
        }
    }
    return false;
}

ReplySource::ReplySource(const SocketAddress& destination, const IsLocal& isLocal)
    : destination_(destination) {
    auto address = destination.ip();
    portMatters_ = !address || isLocal(*address);
}

bool ReplySource::sent(const SocketAddress& sender) const {
    return portMatters_ ? sender.samePeer(destination_) : sender.sameHost(destination_);
}

}  // namespace tarnwick
