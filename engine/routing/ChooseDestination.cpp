#include "routing/ChooseDestination.h"

namespace tarnwick {

namespace {

void Capture(std::int32_t& captureFirstPacket, const ForwardingPort& port,
             const unsigned char* data, std::size_t length, CaptureLog& log) {
    if (captureFirstPacket != 0) {
        captureFirstPacket = 0;  // cleared first: a failed dump is not tried again
        log.WriteCaptureLog(port, data, length);
    }
}

void Route(const ForwardingRule* match, const ForwardingPort& port, std::string& host,
           std::int32_t& hostPort) {
    host = match ? match->forwardIp : port.forwardIp;
    hostPort = match ? match->forwardPort : port.forwardPort;
}

}  // namespace

void ChooseDestination(ForwardingPort& port, const unsigned char* data, std::size_t length,
                       std::string& host, std::int32_t& hostPort, CaptureLog& log) {
    Capture(port.captureFirstPacket, port, data, length, log);
    const SearchedData searched(data, length);
    const ForwardingRule* match = nullptr;
    for (const auto& rule : port.rules) {
        if (CompiledPattern::ForRule(*rule).occursIn(searched)) {
            match = rule.get();
            break;
        }
    }
    Route(match, port, host, hostPort);
}

void ChooseDestination(const RoutingTable& routing, std::int32_t& captureFirstPacket,
                       const unsigned char* data, std::size_t length, std::string& host,
                       std::int32_t& hostPort, CaptureLog& log) {
    Capture(captureFirstPacket, routing.port(), data, length, log);
    Route(routing.FirstMatch(data, length), routing.port(), host, hostPort);
}

}  // namespace tarnwick
