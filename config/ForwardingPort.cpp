#include "ForwardingPort.h"

namespace tarnwick {

std::unique_ptr<ForwardingPort> ForwardingPort::deepCopy() const {
    auto copy = std::make_unique<ForwardingPort>();
    copy->timeoutSeconds = timeoutSeconds;
    copy->captureFirstPacket = captureFirstPacket;
    copy->protocol = protocol;
    copy->ownerWindow = ownerWindow;
    copy->threadId = threadId;
    copy->threadHandle = threadHandle;
    copy->forwardIp = forwardIp;
    copy->forwardPort = forwardPort;
    copy->listenPort = listenPort;
    copy->rules.reserve(rules.size());
    for (const auto& rule : rules) {
        copy->appendRule(std::make_unique<ForwardingRule>(*rule));
    }
    return copy;
}

}  // namespace tarnwick
