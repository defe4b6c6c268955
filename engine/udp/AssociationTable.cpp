#include "engine/udp/AssociationTable.h"

#include <utility>

namespace tarnwick {

UdpAssociation& AssociationTable::add(std::unique_ptr<UdpAssociation> association) {
    UdpAssociation& added = *association;
    added.place = byUse_.insert(byUse_.end(), std::move(association));
    byClient_[added.key] = added.place;
    return added;
}

std::unique_ptr<UdpAssociation> AssociationTable::remove(UdpAssociation& association) {
    std::unique_ptr<UdpAssociation> taken = std::move(*association.place);
    byUse_.erase(association.place);
    byClient_.erase(association.key);
    return taken;
}

}  // namespace tarnwick
