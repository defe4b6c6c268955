#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/ConnectionRecord.h"
#include "config/ForwardingPort.h"

namespace tarnwick {

// What flowed through one run of one port: created at zero when the controller starts
// the port's worker, shared by the worker, its sessions and the controller, and dropped
// when the worker has ended and the controller has taken the last log records.
//
// The counts are relaxed atomics in this one small object, owned through std::shared_ptr
// by everyone who holds it. Writers only add and the reader only loads; no count guards
// any other memory, so relaxed order is enough, nothing is locked and nothing waits on the
// relay's path. A session adds its counts before it closes its sockets, so a client that
// has seen its connection end sees it counted.
//
// Three things are not counts and sit behind one mutex, taken off the relay's path: the
// latest UDP association's destination and last lookup failure (set once per association)
// and the ended connections waiting for the
// connection log (one push per ended connection, and only while logging is on). The log
// records wait here for the controller's thread to take them in batches, rather than
// travelling in a posted message each: a message per connection would wake the user
// interface's thread (a system call on each side) at the connection rate.
class PortCounters {
public:
    // Records waiting beyond this are dropped and counted, should the log's reader stall.
    static constexpr std::size_t LOG_QUEUE_LIMIT = 65536;
    // Distinct errors of failed connects told apart; any further ones count under error 0.
    static constexpr std::size_t ERROR_SLOTS = 16;

    // A copy of every count at one moment (each read on its own, so counts still moving
    // may be a little apart).
    struct Snapshot {
        std::uint64_t accepted = 0;
        std::uint64_t open = 0;
        std::uint64_t bytesFromClients = 0;
        std::uint64_t bytesToClients = 0;
        std::vector<std::uint64_t> ruleConnections;  // by rule index
        std::uint64_t routedStandard = 0;
        std::uint64_t routedNoMatch = 0;
        std::uint64_t routedTimeout = 0;
        std::uint64_t routedClientClosed = 0;
        std::vector<std::pair<int, std::uint64_t>> failedConnects;  // errno, count; by errno
        std::uint64_t resets = 0;
        std::uint64_t proxyHeaderRefusals = 0;  // no valid PROXY header in time
        std::uint64_t proxyClientRefusals = 0;  // a PROXY header named a client not allowed
        std::uint64_t datagramsFromClients = 0;
        std::uint64_t datagramsToClients = 0;
        std::uint64_t datagramsDropped = 0;
        std::string udpDestination;  // the latest association's; empty until there is one
        Route udpRoute;
        std::uint64_t associationsCreated = 0;
        std::uint64_t associationsOpen = 0;
        std::uint64_t associationsEndedIdle = 0;
        std::uint64_t associationsEndedByBound = 0;
        std::uint64_t lookupFailures = 0;
        std::string lastLookupFailure;  // "host: reason"; empty when there was none
        std::uint64_t refusedClients = 0;  // TCP connections reset, UDP datagrams dropped
        std::uint64_t logRecordsDropped = 0;
    };

    // A run of a port without rules and without the connection log.
    PortCounters();
    // A run of `port`: one count per rule, and its rule names for the log.
    PortCounters(const ForwardingPort& port, bool logConnections);
    PortCounters(const PortCounters&) = delete;
    PortCounters& operator=(const PortCounters&) = delete;

    bool logsConnections() const { return logConnections_; }
    // The name of rule `index`, or "" for an index the port did not have.
    const std::string& ruleName(int index) const;
    // The kind of rule `index` ("hex", "text", "tls-sni", "tls-alpn"), or "" likewise.
    const std::string& ruleKind(int index) const;

    // ---- TCP: the listener and the sessions ----
    void connectionAccepted() { Add(accepted_); }
    // A session has ended, and the connection with it; before the record, if any.
    void connectionEnded() { Add(ended_); }
    void connectionRouted(const Route& route);
    void connectFailed(int error);
    void connectionReset() { Add(resets_); }
    // A port that takes PROXY headers reset a connection: it brought no valid header in
    // time, or its header named a client that the port does not admit.
    void proxyHeaderRefused() { Add(proxyHeaderRefusals_); }
    void proxyClientRefused() { Add(proxyClientRefusals_); }

    // ---- both: bytes relayed ----
    void addFromClient(std::uint64_t bytes) { Add(bytesFromClients_, bytes); }
    void addToClient(std::uint64_t bytes) { Add(bytesToClients_, bytes); }

    // ---- UDP: the relay ----
    void datagramFromClient(std::uint64_t bytes) {
        Add(datagramsFromClients_);
        Add(bytesFromClients_, bytes);
    }
    void datagramToClient(std::uint64_t bytes) {
        Add(datagramsToClients_);
        Add(bytesToClients_, bytes);
    }
    void datagramDropped() { Add(datagramsDropped_); }
    // The destination and route of the association created last.
    void setUdpDestination(std::string destination, const Route& route);
    void associationCreated() { Add(associationsCreated_); }
    // An association has ended; Idle and Evicted are counted apart.
    void associationEnded(EndReason why);
    // A destination could not be resolved or reached: `failure` is "host: reason".
    void lookupFailed(std::string failure);

    // ---- both: clients that allowFrom turns away ----
    void clientRefused() { Add(refusedClients_); }

    // ---- the connection log ----
    // Queues `record` for the log when logging is on (fills in its rule name); else nothing.
    void logConnection(ConnectionRecord record);
    // Every queued record, oldest first; the queue is empty afterwards.
    std::vector<ConnectionRecord> takeConnectionLog();

    Snapshot snapshot() const;

private:
    using Count = std::atomic<std::uint64_t>;
    static void Add(Count& count, std::uint64_t amount = 1) {
        count.fetch_add(amount, std::memory_order_relaxed);
    }
    static std::uint64_t Load(const Count& count) { return count.load(std::memory_order_relaxed); }

    struct ErrorSlot {
        std::atomic<int> error{0};  // 0: free
        Count count{0};
    };

    const bool logConnections_ = false;
    const std::vector<std::string> ruleNames_{};  // "{}": a const member is initialised even by the default constructor
    const std::vector<std::string> ruleKinds_{};

    Count accepted_{0};
    Count ended_{0};
    Count bytesFromClients_{0};
    Count bytesToClients_{0};
    std::vector<Count> ruleConnections_;  // one per rule, sized once
    Count routedStandard_{0};
    Count routedNoMatch_{0};
    Count routedTimeout_{0};
    Count routedClientClosed_{0};
    std::array<ErrorSlot, ERROR_SLOTS> failedConnects_;
    Count otherFailedConnects_{0};
    Count resets_{0};
    Count proxyHeaderRefusals_{0};
    Count proxyClientRefusals_{0};
    Count datagramsFromClients_{0};
    Count datagramsToClients_{0};
    Count datagramsDropped_{0};
    Count associationsCreated_{0};
    Count associationsEnded_{0};
    Count associationsEndedIdle_{0};
    Count associationsEndedByBound_{0};
    Count lookupFailures_{0};
    Count refusedClients_{0};
    Count logRecordsDropped_{0};

    // One of the engine's few locks; guards the members below, and nothing else.
    mutable std::mutex mutex_;
    std::string udpDestination_;
    Route udpRoute_;
    std::string lastLookupFailure_;
    std::vector<ConnectionRecord> log_;
};

}  // namespace tarnwick
