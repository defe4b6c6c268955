#pragma once

#include <QString>

#include <optional>

#include "config/FieldChecks.h"
#include "config/ForwardingRule.h"

namespace tarnwick {

// The fields of the rule dialog as texts and check states, without any widget. A new
// form holds the values the dialog opens with in add mode.
struct RuleForm {
    QString ruleName = QStringLiteral("My Rule");
    bool hex = true;                    // for a pattern rule: hex, else text
    RuleKind kind = RuleKind::Pattern;  // or a TLS server-name or ALPN rule
    bool caseSensitive = false;
    QString searchData = QStringLiteral("00 00 00 FF FF FF");
    QString forwardIp = QStringLiteral("192.168.1.5");
    QString forwardPort = QStringLiteral("80");

    // The fields that show `rule`: texts as stored, the port as an unsigned number.
    static RuleForm FromRule(const ForwardingRule& rule);

    // The rule these fields describe. The port is read like atoi; the texts are taken as
    // they are, and a text still as it was shown for `original` keeps its bytes. Flags
    // that stay on keep the original's non-zero value.
    ForwardingRule toRule(const ForwardingRule* original) const;
};

// The first check of the rule dialog that `rule` fails, or nullopt: those of every rule,
// then a TLS rule's check of its server name or protocol.
std::optional<CheckFailure> CheckRule(const ForwardingRule& rule);

}  // namespace tarnwick
