#include "engine/PortCounters.h"

#include <algorithm>

namespace tarnwick {

namespace {

std::vector<std::string> RuleNames(const ForwardingPort& port) {
    std::vector<std::string> names;
    names.reserve(port.rules.size());
    for (const auto& rule : port.rules) {
        names.push_back(rule->ruleName);
    }
    return names;
}

std::vector<std::string> RuleKinds(const ForwardingPort& port) {
    std::vector<std::string> kinds;
    kinds.reserve(port.rules.size());
    for (const auto& rule : port.rules) {
        kinds.emplace_back(rule->kindName());
    }
    return kinds;
}

}  // namespace

PortCounters::PortCounters() = default;

PortCounters::PortCounters(const ForwardingPort& port, bool logConnections)
    : logConnections_(logConnections),
      ruleNames_(RuleNames(port)),
      ruleKinds_(RuleKinds(port)),
      ruleConnections_(port.rules.size()) {}

const std::string& PortCounters::ruleName(int index) const {
    static const std::string none;
    return index >= 0 && static_cast<std::size_t>(index) < ruleNames_.size() ? ruleNames_[index]
                                                                             : none;
}

const std::string& PortCounters::ruleKind(int index) const {
    static const std::string none;
    return index >= 0 && static_cast<std::size_t>(index) < ruleKinds_.size() ? ruleKinds_[index]
                                                                             : none;
}

void PortCounters::connectionRouted(const Route& route) {
    switch (route.kind) {
        case RouteKind::Rule:
            if (route.rule >= 0 && static_cast<std::size_t>(route.rule) < ruleConnections_.size()) {
                Add(ruleConnections_[route.rule]);
            }
            break;
        case RouteKind::NoMatch:
            Add(routedNoMatch_);
            break;
        case RouteKind::Timeout:
            Add(routedTimeout_);
            break;
        case RouteKind::ClientClosed:
            Add(routedClientClosed_);
            break;
        case RouteKind::Standard:
            Add(routedStandard_);
            break;
        case RouteKind::None:
            break;
    }
}

// Each error takes a slot of its own the first time it is seen: a free slot is claimed
// with a compare-and-swap, so two threads with the same new error end up in one slot.
void PortCounters::connectFailed(int error) {
    for (ErrorSlot& slot : failedConnects_) {
        int held = slot.error.load(std::memory_order_relaxed);
        if (held == 0 && error != 0) {
            slot.error.compare_exchange_strong(held, error, std::memory_order_relaxed);
            held = slot.error.load(std::memory_order_relaxed);
        }
        if (held == error) {
            Add(slot.count);
            return;
        }
    }
    Add(otherFailedConnects_);
}

void PortCounters::setUdpDestination(std::string destination, const Route& route) {
    std::lock_guard lock(mutex_);
    udpDestination_ = std::move(destination);
    udpRoute_ = route;
}

void PortCounters::associationEnded(EndReason why) {
    if (why == EndReason::Idle) {
        Add(associationsEndedIdle_);
    } else if (why == EndReason::Evicted) {
        Add(associationsEndedByBound_);
    }
    Add(associationsEnded_);
}

void PortCounters::lookupFailed(std::string failure) {
    Add(lookupFailures_);
    std::lock_guard lock(mutex_);
    lastLookupFailure_ = std::move(failure);
}

void PortCounters::logConnection(ConnectionRecord record) {
    if (!logConnections_) {
        return;
    }
    if (record.route.kind == RouteKind::Rule) {
        record.ruleName = ruleName(record.route.rule);
    }
    std::lock_guard lock(mutex_);
    if (log_.size() >= LOG_QUEUE_LIMIT) {
        Add(logRecordsDropped_);
        return;
    }
    log_.push_back(std::move(record));
}

std::vector<ConnectionRecord> PortCounters::takeConnectionLog() {
    std::vector<ConnectionRecord> taken;
    std::lock_guard lock(mutex_);
    taken.swap(log_);
    return taken;
}

PortCounters::Snapshot PortCounters::snapshot() const {
    Snapshot copy;
    // Ended first: a connection that ends meanwhile is then still counted open, never
    // below zero.
    const std::uint64_t ended = Load(ended_);
    copy.accepted = Load(accepted_);
    copy.open = copy.accepted > ended ? copy.accepted - ended : 0;
    copy.bytesFromClients = Load(bytesFromClients_);
    copy.bytesToClients = Load(bytesToClients_);
    for (const Count& count : ruleConnections_) {
        copy.ruleConnections.push_back(Load(count));
    }
    copy.routedStandard = Load(routedStandard_);
    copy.routedNoMatch = Load(routedNoMatch_);
    copy.routedTimeout = Load(routedTimeout_);
    copy.routedClientClosed = Load(routedClientClosed_);
    for (const ErrorSlot& slot : failedConnects_) {
        int error = slot.error.load(std::memory_order_relaxed);
        std::uint64_t count = Load(slot.count);
        if (error != 0 && count != 0) {
            copy.failedConnects.emplace_back(error, count);
        }
    }
    if (std::uint64_t other = Load(otherFailedConnects_); other != 0) {
        copy.failedConnects.emplace_back(0, other);
    }
    std::sort(copy.failedConnects.begin(), copy.failedConnects.end());
    copy.resets = Load(resets_);
    copy.proxyHeaderRefusals = Load(proxyHeaderRefusals_);
    copy.proxyClientRefusals = Load(proxyClientRefusals_);
    copy.datagramsFromClients = Load(datagramsFromClients_);
    copy.datagramsToClients = Load(datagramsToClients_);
    copy.datagramsDropped = Load(datagramsDropped_);
    const std::uint64_t associationsEnded = Load(associationsEnded_);
    copy.associationsCreated = Load(associationsCreated_);
    copy.associationsOpen = copy.associationsCreated > associationsEnded
                                ? copy.associationsCreated - associationsEnded
                                : 0;
    copy.associationsEndedIdle = Load(associationsEndedIdle_);
    copy.associationsEndedByBound = Load(associationsEndedByBound_);
    copy.lookupFailures = Load(lookupFailures_);
    copy.refusedClients = Load(refusedClients_);
    copy.logRecordsDropped = Load(logRecordsDropped_);
    std::lock_guard lock(mutex_);
    copy.udpDestination = udpDestination_;
    copy.udpRoute = udpRoute_;
    copy.lastLookupFailure = lastLookupFailure_;
    return copy;
}

}  // namespace tarnwick
