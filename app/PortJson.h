#pragma once

#include <QByteArray>
#include <QString>

#include "ForwardingPort.h"

namespace tarnwick {

// The configuration as JSON, for scripts and for editing by hand:
//   {"ports":[{"protocol":"tcp"|"udp","listenPort":N,"listenAddress":"",
//     "allowFrom":["10.0.0.0/8","::1"],"forwardIp":"...","forwardPort":N,
//     "timeoutSeconds":N,"rules":[{"ruleName":"...","searchType":"hex"|"text",
//     "caseSensitive":true|false,"searchData":"...","forwardIp":"...","forwardPort":N}]}]}
// Texts are byte strings. Bytes that form valid UTF-8 are written as those characters;
// every other byte 0xXY is written as the escape "\udcXY" (a lone low surrogate, which no
// valid UTF-8 text can produce), so that export and import round-trip byte for byte.
class PortJson {
public:
    static QByteArray Export(const PortTable& ports);

    // Parses and checks a document with the port and rule dialogs' checks, in their
    // order. On the first problem `error` says where ("ports[1].rules[0].forwardPort")
    // and what, and `ports` is empty.
    struct ImportResult {
        PortTable ports;
        QString error;
        bool ok() const { return error.isEmpty(); }
    };
    static ImportResult Import(const QByteArray& json);
};

}  // namespace tarnwick
