#include "engine/udp/ClientDeadlines.h"

namespace tarnwick {

bool ClientDeadlines::active(const ClientKey& key, Clock::time_point now) {
    if (until_.empty()) {
        return false;
    }
    auto found = until_.find(key);
    if (found == until_.end()) {
        return false;
    }
    if (found->second > now) {
        return true;
    }
    until_.erase(found);
    return false;
}

bool ClientDeadlines::start(const ClientKey& key, Clock::time_point until, Clock::time_point now) {
    if (auto found = until_.find(key); found != until_.end()) {
        found->second = until;
        return true;
    }
    if (until_.size() >= capacity_ && now - lastPrune_ >= PRUNE_INTERVAL) {
        prune(now);
    }
    if (until_.size() >= capacity_) {
        return false;
    }
    until_.emplace(key, until);
    return true;
}

void ClientDeadlines::prune(Clock::time_point now) {
    lastPrune_ = now;
    std::erase_if(until_, [now](const auto& entry) { return entry.second <= now; });
}

}  // namespace tarnwick
