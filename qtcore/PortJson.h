#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "config/ForwardingPort.h"

namespace tarnwick {

// The configuration as JSON, for scripts and for editing by hand:
//   {"ports":[{"protocol":"tcp"|"udp","listenPort":N,"listenAddress":"",
//     "allowFrom":["10.0.0.0/8","::1"],"proxyProtocol":"off"|"v1"|"v2",
//     "acceptProxyProtocol":true|false,"forwardIp":"...","forwardPort":N,
//     "timeoutSeconds":N,"udpIdleSeconds":N,"udpMaxAssociations":N,
//     "rules":[{"ruleName":"...","searchType":"hex"|"text"|"tls-sni"|"tls-alpn",
//     "caseSensitive":true|false,"searchData":"...","forwardIp":"...","forwardPort":N}]}]}
// A "tls-sni" rule's searchData is a server name or "*." and one, a "tls-alpn" rule's an
// ALPN protocol; both ignore caseSensitive.
// Texts are byte strings. Bytes that form valid UTF-8 are written as those characters;
// every other byte 0xXY is written as the escape "\udcXY" (a lone low surrogate, which no
// valid UTF-8 text can produce), so that export and import round-trip byte for byte.
class PortJson {
public:
    static QByteArray Export(const PortTable& ports);

    // Parses and checks a document with the port and rule dialogs' checks, in their
    // order, and at most MAX_PORTS ports of at most MAX_RULES_PER_PORT rules. On the
    // first problem `error` says where ("ports[1].rules[0].forwardPort") and what, and
    // `ports` is empty. Rules that can never match, or whose hex pattern reads other
    // than it looks, are taken all the same, each with a warning that says where.
    struct ImportResult {
        PortTable ports;
        QString error;
        QStringList warnings;
        bool ok() const { return error.isEmpty(); }
    };
    static ImportResult Import(const QByteArray& json);
};

}  // namespace tarnwick
