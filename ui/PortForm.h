#pragma once

#include <QString>

#include <optional>

#include "config/FieldChecks.h"
#include "config/ForwardingPort.h"

namespace tarnwick {

// The fields of the port dialog as texts and check states, without any widget and
// without the rules list. A new form holds the values the dialog opens with in add mode.
struct PortForm {
    bool udp = false;
    QString listenPort = QStringLiteral("80");
    bool captureFirstPacket = false;
    QString timeoutSeconds = QStringLiteral("5");
    QString forwardIp = QStringLiteral("192.168.1.5");
    QString forwardPort = QStringLiteral("80");
    QString listenAddress;  // empty: every IPv4 address
    QString allowFrom;      // one address or prefix per line; empty: everyone
    // The PROXY protocol choice: PROXY_PROTOCOL_OFF, _V1 or _V2.
    std::int32_t proxyProtocol = PROXY_PROTOCOL_OFF;

    // The fields that show `port`: numbers unsigned, the IP as stored. Any non-zero
    // protocol is UDP, as everywhere else.
    static PortForm FromPort(const ForwardingPort& port);

    // A record with the settings these fields describe and no rules. It starts as a copy
    // of `original`'s stored settings, so that whatever no field shows stays as it was.
    // Numbers are read like atoi; an IP still as it was shown for `original` keeps its
    // bytes, a protocol that stays UDP keeps the original's non-zero value, and so does a
    // PROXY choice that still shows what the original holds. The listen
    // address loses surrounding blanks; each allowed client is a line of its own, blank
    // lines left out.
    ForwardingPort toPort(const ForwardingPort* original) const;
};

// The first check of the port dialog that `port` fails, or nullopt: the classic checks in
// their order, then the listen address, then the allowed clients.
std::optional<CheckFailure> CheckPort(const ForwardingPort& port);

}  // namespace tarnwick
