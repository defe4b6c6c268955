#include "config/ForwardingPort.h"

#include <algorithm>

#include "base/EscapedText.h"

namespace tarnwick {

const char* ProxyProtocolName(std::int32_t version) {
    switch (version) {
        case PROXY_PROTOCOL_V1:
            return "v1";
        case PROXY_PROTOCOL_V2:
            return "v2";
        default:
            return "off";
    }
}

std::unique_ptr<ForwardingPort> ForwardingPort::deepCopy() const {
    auto copy = std::make_unique<ForwardingPort>();
    copy->settings() = settings();
    static_cast<PortRunState&>(*copy) = *this;
    copy->rules.reserve(rules.size());
    for (const auto& rule : rules) {
        copy->appendRule(std::make_unique<ForwardingRule>(*rule));
    }
    return copy;
}

void ForwardingPort::takeSettings(ForwardingPort&& other) {
    settings() = std::move(other.settings());
    rules = std::move(other.rules);
    captureFirstPacket = other.captureFirstPacket;
}

bool ForwardingPort::sameSettings(const ForwardingPort& other) const {
    auto sameRule = [](const std::unique_ptr<ForwardingRule>& a,
                       const std::unique_ptr<ForwardingRule>& b) { return *a == *b; };
    return settings() == other.settings() &&
           std::equal(rules.begin(), rules.end(), other.rules.begin(), other.rules.end(), sameRule);
}

std::string ForwardingPort::listenLabel() const {
    if (listenAddress.empty()) {
        return "localhost:" + std::to_string(listenPort);
    }
    return HostPortLabel(listenAddress, listenPort);
}

std::string ForwardingPort::rowText(bool running) const {
    return std::string(protocolLabel()) + '\t' + EscapedText(listenLabel()) + '\t' +
           EscapedText(forwardLabel()) + '\t' + typeLabel() + '\t' + (running ? "Yes" : "No");
}

}  // namespace tarnwick
