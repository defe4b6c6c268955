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
           timeoutSeconds == other.timeoutSeconds &&
           std::equal(rules.begin(), rules.end(), other.rules.begin(), other.rules.end(), sameRule);
}

}  // namespace tarnwick
