#include "engine/routing/ChooseDestination.h"

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

int ChooseDestination(ForwardingPort& port, const unsigned char* data, std::size_t length,
                      std::string& host, std::int32_t& hostPort, CaptureLog& log) {
    Capture(port.captureFirstPacket, port, data, length, log);
    const SearchedData searched(data, length);
    int match = -1;
    for (std::size_t index = 0; index < port.rules.size() && match < 0; ++index) {
        if (CompiledPattern::ForRule(*port.rules[index]).occursIn(searched)) {
            match = static_cast<int>(index);
        }
    }
    return Route(match, port, host, hostPort);
}

int ChooseDestination(const RoutingTable& routing, std::int32_t& captureFirstPacket,
                      const unsigned char* data, std::size_t length, std::string& host,
                      std::int32_t& hostPort, CaptureLog& log) {
    Capture(captureFirstPacket, routing.port(), data, length, log);
    return Route(routing.FirstMatch(data, length), routing.port(), host, hostPort);
}

}  // namespace tarnwick
