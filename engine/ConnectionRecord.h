#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarnwick {

// Why a connection (or a UDP association) went where it went.
enum class RouteKind : std::uint8_t {
    None,          // nothing was routed (a client that was refused)
    Rule,          // a rule matched the first data
    NoMatch,       // first data came, no rule matched: the default destination
    Timeout,       // no data within the port's timeout: the default destination
    ClientClosed,  // the client closed before sending anything: no destination at all
    Standard,      // a Standard port: always the default destination
};

struct Route {
    RouteKind kind = RouteKind::None;
    int rule = -1;  // RouteKind::Rule: the rule's index in the port's rules, from 0
    // RouteKind::NoMatch: why the rules were not tried, a fixed text; null when they were.
    const char* why = nullptr;
};

// How a connection ended, named after what ended it first.
enum class EndReason : std::uint8_t {
    ClientClosed,       // the client sent its FIN first
    DestinationClosed,  // the destination sent its FIN first
    Reset,              // either side reset the connection
    ConnectFailed,      // the destination could not be reached (error says why)
    Failed,             // another error on either side (error says which)
    Stopped,            // the port was stopped or restarted
    NoProxyHeader,      // no valid PROXY protocol header came in time: reset (note says why)
    ClientNotAllowed,   // the PROXY header named a client the port does not admit: reset
    Refused,            // the client is not among the port's allowed ones
    Idle,               // UDP: no datagram either way for the port's idle time
    Evicted,            // UDP: the least recently used when the port was full
    LookupFailed,       // UDP: the destination's name did not resolve (detail says why)
};

// One ended TCP connection or UDP association, or a client turned away, as the connection
// log shows it.
struct ConnectionRecord {
    bool udp = false;
    std::int32_t listenPort = 0;
    std::string client;       // "address:port"; empty when there was none
    std::string destination;  // "host:port"; empty when none was chosen
    Route route;
    std::string ruleName;  // the matched rule's name, for RouteKind::Rule
    std::uint64_t bytesFromClient = 0;
    std::uint64_t bytesToClient = 0;
    std::chrono::system_clock::time_point endedAt;
    std::chrono::milliseconds duration{0};
    EndReason end = EndReason::Stopped;
    int error = 0;          // errno, for ConnectFailed and Failed
    const char* note = "";  // a fixed text that says more of the end, or ""
    std::string detail;     // the resolver's reason, for LookupFailed

    // One line of the log, without a line break; the fields, tab-separated:
    //   local time ("2026-03-01 14:05:09"), "TCP" or "UDP", listen port, client,
    //   destination, route, bytes from the client, bytes to the client, duration in
    //   seconds ("3.204"), how it ended (with its note after ": ", when there is one).
    // An absent client or destination is "-". Texts from the configuration (host names,
    // rule names) have backslashes, control bytes and, in the rule name, quotes escaped, so
    // a line never splits. strerror texts: call on one thread only.
    std::string FormatLine() const;
};

// `rule 2 "ssh"` (counted from 1), "default (no match)", "default (<why>)" when the rules
// were not tried, "default (timeout)",
// "default (client closed)", "standard", or "-" for RouteKind::None.
std::string RouteText(const Route& route, const std::string& ruleName);

// "client closed", "destination closed", "reset", "connect failed: <strerror>",
// "failed: <strerror>", "stopped", "no valid PROXY header", "client not allowed",
// "refused", "idle", "evicted", "lookup failed: <detail>".
std::string EndText(EndReason end, int error, const std::string& detail = {});

}  // namespace tarnwick
