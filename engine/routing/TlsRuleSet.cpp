#include "engine/routing/TlsRuleSet.h"

#include <algorithm>

namespace tarnwick {

namespace {

// A name as it is compared: A-Z lowered, one trailing dot dropped.
std::string Canonical(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    std::string lowered(name);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
    });
    return lowered;
}

// `name` is one label, then "." and `suffix`.
bool OneLabelAbove(const std::string& name, const std::string& suffix) {
    if (name.size() < suffix.size() + 2 || name.compare(name.size() - suffix.size(),
                                                        suffix.size(), suffix) != 0) {
        return false;
    }
    const std::size_t dot = name.size() - suffix.size() - 1;
    return name[dot] == '.' && name.find('.') == dot;
}

}  // namespace

TlsRuleSet::TlsRuleSet(const ForwardingPort& port) {
    for (std::size_t index = 0; index < port.rules.size(); ++index) {
        if (port.rules[index]->isTls()) {
            rules_.push_back(Compile(static_cast<int>(index), *port.rules[index]));
        }
    }
}

TlsRuleSet::Rule TlsRuleSet::Compile(int index, const ForwardingRule& rule) {
    if (rule.kind == RuleKind::TlsAlpn) {
        return {index, true, false, rule.searchData};
    }
    const bool wildcard = rule.searchData.starts_with("*.");
    return {index, false, wildcard,
            Canonical(std::string_view(rule.searchData).substr(wildcard ? 2 : 0))};
}

bool TlsRuleSet::ServerNameMatches(std::string_view rule, std::string_view name) {
    ForwardingRule stored;
    stored.kind = RuleKind::TlsServerName;
    stored.searchData = std::string(rule);
    ClientHello hello;
    hello.hasServerName = true;
    hello.serverName = std::string(name);
    return Matches(Compile(0, stored), hello, Canonical(hello.serverName));
}

int TlsRuleSet::FirstMatch(const ClientHello* hello, int before) const {
    if (hello == nullptr) {
        return before;
    }
    const std::string name = hello->hasServerName ? Canonical(hello->serverName) : std::string();
    for (const Rule& rule : rules_) {
        if (rule.index >= before) {
            break;
        }
        if (Matches(rule, *hello, name)) {
            return rule.index;
        }
    }
    return before;
}

bool TlsRuleSet::Matches(const Rule& rule, const ClientHello& hello, const std::string& name) {
    if (rule.alpn) {
        return !rule.text.empty() &&
               std::find(hello.alpn.begin(), hello.alpn.end(), rule.text) != hello.alpn.end();
    }
    if (!hello.hasServerName || rule.text.empty()) {
        return false;
    }
    return rule.wildcard ? OneLabelAbove(name, rule.text) : name == rule.text;
}

}  // namespace tarnwick
