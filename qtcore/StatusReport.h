#pragma once

#include <QJsonObject>
#include <QString>

#include "engine/CPortController.h"

namespace tarnwick {

// What `tarnwick --status` shows: every port of a running instance, its row and running
// state, why it could not open, and what has flowed through it since it started.
//
// The document, with these field names (README, "Status"):
//   {"mode": "window"|"headless", "pid", "configDirectory",
//    "ports": [{"row" (as --list shows it, with the running state),
//               "protocol": "tcp"|"udp", "listenAddress" ("" = every IPv4 address),
//               "listenPort", "forwardIp", "forwardPort", "type": "standard"|"smart",
//               "proxyProtocol": "off"|"v1"|"v2", "acceptProxyProtocol", "running",
//               "openError": null | {"errno", "name", "message"},
//               "counters": null | {...}}]}
// TCP counters: "accepted", "open", "bytesFromClients", "bytesToClients",
//   "rules": [{"rule" (from 1), "ruleName", "connections"}],
//   "defaultRoutes": {"standard", "noMatch", "timeout", "clientClosed"},
//   "failedConnects": [{"errno", "name", "message", "count"}], "resets", "refusedClients",
//   "logLinesDropped"; on a port that takes PROXY headers also "proxyHeaderRefusals"
//   (reset: no valid header in time) and "proxyClientRefusals" (reset: the header named a
//   client not allowed).
// UDP counters: "datagramsFromClients", "bytesFromClients", "datagramsToClients",
//   "bytesToClients", "datagramsDropped", "destination" and "route" (of the latest
//   association; null before the first), "associationsOpen", "associationsCreated",
//   "associationsEndedIdle", "associationsEndedByBound", "lookupFailures",
//   "lastLookupFailure" (null or "host:port: reason"), "refusedClients", "logLinesDropped".
class StatusReport {
public:
    static QJsonObject Build(const CPortController& controller, const QString& mode,
                             const QString& configDirectory);
};

}  // namespace tarnwick
