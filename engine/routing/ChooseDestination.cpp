#include "engine/routing/ChooseDestination.h"

#include "engine/routing/TlsRuleSet.h"

namespace tarnwick {

namespace {

void Capture(std::int32_t& captureFirstPacket, const ForwardingPort& port,
             const unsigned char* data, std::size_t length, CaptureLog& log) {
    if (captureFirstPacket != 0) {
        captureFirstPacket = 0;  // cleared first: a failed dump is not tried again
        log.WriteCaptureLog(port, data, length);
    }
}

// The destination of rule `match` (-1: the port's default); returns `match`.
int Route(int match, const ForwardingPort& port, std::string& host, std::int32_t& hostPort) {
    const ForwardingRule* rule = match >= 0 ? port.rules[match].get() : nullptr;
    host = rule ? rule->forwardIp : port.forwardIp;
    hostPort = rule ? rule->forwardPort : port.forwardPort;
    return match;
}

}  // namespace

int FirstMatchRuleByRule(const ForwardingPort& port, const unsigned char* data,
                         std::size_t length, const ClientHello* hello) {
    const SearchedData searched(data, length);
    const TlsRuleSet tls(port);
    for (std::size_t index = 0; index < port.rules.size(); ++index) {
        const int rule = static_cast<int>(index);
        if (port.rules[index]->isTls() ? tls.FirstMatch(hello, rule + 1) == rule
                                       : CompiledPattern::ForRule(*port.rules[index])
                                             .occursIn(searched)) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

int ChooseDestination(ForwardingPort& port, const unsigned char* data, std::size_t length,
                      std::string& host, std::int32_t& hostPort, CaptureLog& log) {
    Capture(port.captureFirstPacket, port, data, length, log);
    return Route(FirstMatchRuleByRule(port, data, length), port, host, hostPort);
}

int ChooseDestination(const RoutingTable& routing, std::int32_t& captureFirstPacket,
                      const unsigned char* data, std::size_t length, std::string& host,
                      std::int32_t& hostPort, CaptureLog& log, const ClientHello* hello) {
    Capture(captureFirstPacket, routing.port(), data, length, log);
    return Route(routing.FirstMatch(data, length, hello), routing.port(), host, hostPort);
}

void ChooseDefaultDestination(const RoutingTable& routing, std::int32_t& captureFirstPacket,
                              const unsigned char* data, std::size_t length,
                              std::string& host, std::int32_t& hostPort, CaptureLog& log) {
    Capture(captureFirstPacket, routing.port(), data, length, log);
    Route(-1, routing.port(), host, hostPort);
}

}  // namespace tarnwick
