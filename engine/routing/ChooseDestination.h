#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/ForwardingPort.h"
#include "engine/routing/CaptureLog.h"
#include "engine/routing/ClientHello.h"
#include "engine/routing/RoutingTable.h"

namespace tarnwick {

// The routing decision for the first data of a connection (or of a UDP relay run).
// When `port.captureFirstPacket` is set it is cleared and the data is dumped to `log`.
// Then the rules are tried in order; the first match's destination wins, else the port's
// default destination. Always fills `host` and `hostPort`; never fails. Returns the index
// of the matching rule in `port.rules`, or -1 when the default destination was taken.
int ChooseDestination(ForwardingPort& port, const unsigned char* data, std::size_t length,
                      std::string& host, std::int32_t& hostPort, CaptureLog& log);

// The index of the first rule that matches, each rule's pattern read afresh and tried on
// its own, in order, a TLS rule against `hello` (the data's ClientHello; null: it has
// none); -1 for none. What a RoutingTable finds in one pass, the plain way: for a
// decision made once, and to check the table against.
int FirstMatchRuleByRule(const ForwardingPort& port, const unsigned char* data,
                         std::size_t length, const ClientHello* hello = nullptr);

// The same decision through a table shared by many connections: the table stays as it
// is, and the capture flag is the connection's own, `captureFirstPacket`. Returns the
// matching rule's index, or -1, likewise.
// `hello`: the data's ClientHello, for the TLS rules; null when it has none.
int ChooseDestination(const RoutingTable& routing, std::int32_t& captureFirstPacket,
                      const unsigned char* data, std::size_t length, std::string& host,
                      std::int32_t& hostPort, CaptureLog& log,
                      const ClientHello* hello = nullptr);

// First data that no rule may judge (a ClientHello that could not be read whole): it is
// captured like any first data, and the port's default destination is filled in.
void ChooseDefaultDestination(const RoutingTable& routing, std::int32_t& captureFirstPacket,
                              const unsigned char* data, std::size_t length,
                              std::string& host, std::int32_t& hostPort, CaptureLog& log);

}  // namespace tarnwick
