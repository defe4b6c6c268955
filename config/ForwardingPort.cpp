#include "ForwardingPort.h"

#include <algorithm>

namespace tarnwick {

std::unique_ptr<ForwardingPort> ForwardingPort::deepCopy() const {
    auto copy = std::make_unique<ForwardingPort>();
    copy->timeoutSeconds = timeoutSeconds;
    copy->captureFirstPacket = captureFirstPacket;
    copy->protocol = protocol;
    copy->ownerWindow = ownerWindow;
    copy->threadId = threadId;
    copy->threadHandle = threadHandle;
    copy->openError = openError;
    copy->forwardIp = forwardIp;
    copy->forwardPort = forwardPort;
    copy->listenPort = listenPort;
    copy->listenAddress = listenAddress;
    copy->allowFrom = allowFrom;
    copy->rules.reserve(rules.size());
    for (const auto& rule : rules) {
        copy->appendRule(std::make_unique<ForwardingRule>(*rule));
    }
    return copy;
}

void ForwardingPort::takeSettings(ForwardingPort&& other) {
    protocol = other.protocol;
    listenPort = other.listenPort;
    forwardPort = other.forwardPort;
    forwardIp = std::move(other.forwardIp);
    timeoutSeconds = other.timeoutSeconds;
    rules = std::move(other.rules);
    listenAddress = std::move(other.listenAddress);
    allowFrom = std::move(other.allowFrom);
    captureFirstPacket = other.captureFirstPacket;
}

bool ForwardingPort::sameSettings(const ForwardingPort& other) const {
    auto sameRule = [](const std::unique_ptr<ForwardingRule>& a,
                       const std::unique_ptr<ForwardingRule>& b) {
        return a->searchType == b->searchType && a->caseSensitive == b->caseSensitive &&
               a->forwardPort == b->forwardPort && a->forwardIp == b->forwardIp &&
               a->ruleName == b->ruleName && a->searchData == b->searchData;
    };
    return protocol == other.protocol && listenPort == other.listenPort &&
           forwardPort == other.forwardPort && forwardIp == other.forwardIp &&
           timeoutSeconds == other.timeoutSeconds && listenAddress == other.listenAddress &&
           allowFrom == other.allowFrom &&
           std::equal(rules.begin(), rules.end(), other.rules.begin(), other.rules.end(), sameRule);
}

std::string ForwardingPort::listenLabel() const {
    if (listenAddress.empty()) {
        return "localhost:" + std::to_string(listenPort);
    }
    return HostPortLabel(listenAddress, listenPort);
}

}  // namespace tarnwick
