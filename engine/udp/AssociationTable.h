#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <unordered_map>

#include "engine/udp/ClientKey.h"
#include "engine/udp/UdpAssociation.h"

namespace tarnwick {

// A UDP port's associations, found by their client in O(1) and kept in the order of their
// last use, least recent first, so that the idle ones and the one to push out when the
// port is full are at the front. Loop thread only.
class AssociationTable {
public:
    std::size_t size() const { return byClient_.size(); }
    bool empty() const { return byClient_.empty(); }

    UdpAssociation* find(const ClientKey& key) const {
        auto found = byClient_.find(key);
        return found == byClient_.end() ? nullptr : found->second->get();
    }
    // The least recently used association; null when there is none.
    UdpAssociation* leastRecent() const { return byUse_.empty() ? nullptr : byUse_.front().get(); }

    UdpAssociation& add(std::unique_ptr<UdpAssociation> association);
    // Moves `association` to the most recently used end.
    void touch(UdpAssociation& association) {
        byUse_.splice(byUse_.end(), byUse_, association.place);
    }
    // Takes `association` out of the table, handing it back.
    std::unique_ptr<UdpAssociation> remove(UdpAssociation& association);

private:
    using List = std::list<std::unique_ptr<UdpAssociation>>;
    List byUse_;
    std::unordered_map<ClientKey, List::iterator, ClientKeyHash> byClient_;
};

}  // namespace tarnwick
