#include "routing/ChooseDestination.h"

#include "routing/Matchers.h"

namespace tarnwick {

namespace {

bool RuleMatches(const ForwardingRule& rule, const unsigned char* data, std::size_t length) {
    if (rule.isHex()) {
        return MatchHex(rule.searchData, data, length) != 0;
    }
    if (rule.caseSensitive != 0) {
        return MatchTextCase(rule.searchData, data, length) != 0;
    }
    return MatchText(rule.searchData, data, length) != 0;
}

}  // namespace

int ChooseDestination(ForwardingPort& port, const unsigned char* data, std::size_t length,
                       std::string& host, std::int32_t& hostPort, CaptureLog& log) {
    if (port.captureFirstPacket != 0) {
        port.captureFirstPacket = 0;  // cleared first: a failed dump is not tried again
        log.WriteCaptureLog(port, data, length);
    }
    for (std::size_t index = 0; index < port.rules.size(); ++index) {
        const ForwardingRule& rule = *port.rules[index];
        if (RuleMatches(rule, data, length)) {
            host = rule.forwardIp;
            hostPort = rule.forwardPort;
            return static_cast<int>(index);
        }
    }
    host = port.forwardIp;
    hostPort = port.forwardPort;
    return -1;
}

}  // namespace tarnwick
