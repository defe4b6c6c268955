#pragma once

#include <chrono>
#include <cstddef>
#include <unordered_map>

#include "engine/udp/ClientKey.h"

namespace tarnwick {

// Clients each with a moment until which something holds for them: a back-off after a
// failed destination, or a quiet time after a log line. Holds at most `capacity` clients,
// so that a flood from many addresses cannot make it grow: when it is full, expired
// entries are cleared (at most once per PRUNE_INTERVAL) and a client beyond them gets no
// entry. Loop thread only.
class ClientDeadlines {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds PRUNE_INTERVAL{1};

    explicit ClientDeadlines(std::size_t capacity) : capacity_(capacity) {}

    // True while `key` has an entry that has not yet run out at `now`.
    bool active(const ClientKey& key, Clock::time_point now);
    // Gives `key` the deadline `until`; false when the table is full.
    bool start(const ClientKey& key, Clock::time_point until, Clock::time_point now);
    // Drops every entry that has run out at `now`.
    void prune(Clock::time_point now);
    std::size_t size() const { return until_.size(); }

private:
    std::size_t capacity_;
    Clock::time_point lastPrune_;
    std::unordered_map<ClientKey, Clock::time_point, ClientKeyHash> until_;
};

}  // namespace tarnwick
