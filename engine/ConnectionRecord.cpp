#include "engine/ConnectionRecord.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/EscapedText.h"

namespace tarnwick {

namespace {

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : EscapedText(text);
}

std::string LocalTime(std::chrono::system_clock::time_point when) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string Seconds(std::chrono::milliseconds duration) {
    auto ms = duration.count() < 0 ? 0 : duration.count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text;
}

}  // namespace

std::string RouteText(const Route& route, const std::string& ruleName) {
    switch (route.kind) {
        case RouteKind::Rule:
            return "rule " + std::to_string(route.rule + 1) + " \"" + EscapedText(ruleName, '"') +
                   '"';
        case RouteKind::NoMatch:
            return route.why != nullptr ? std::string("default (") + route.why + ')'
                                        : "default (no match)";
        case RouteKind::Timeout:
            return "default (timeout)";
        case RouteKind::ClientClosed:
            return "default (client closed)";
        case RouteKind::Standard:
            return "standard";
        case RouteKind::None:
            break;
    }
    return "-";
}

std::string EndText(EndReason end, int error, const std::string& detail) {
    switch (end) {
        case EndReason::ClientClosed:
            return "client closed";
        case EndReason::DestinationClosed:
            return "destination closed";
        case EndReason::Reset:
            return "reset";
        case EndReason::ConnectFailed:
            return std::string("connect failed: ") + std::strerror(error);
        case EndReason::Failed:
            return std::string("failed: ") + std::strerror(error);
        case EndReason::NoProxyHeader:
            return "no valid PROXY header";
        case EndReason::ClientNotAllowed:
            return "client not allowed";
        case EndReason::Refused:
            return "refused";
        case EndReason::Idle:
            return "idle";
        case EndReason::Evicted:
            return "evicted";
        case EndReason::LookupFailed:
            return "lookup failed: " + EscapedText(detail);
        case EndReason::Stopped:
            break;
    }
    return "stopped";
}

std::string ConnectionRecord::FormatLine() const {
    std::string line = LocalTime(endedAt);
    for (const std::string& field :
         {std::string(udp ? "UDP" : "TCP"), std::to_string(listenPort), OrDash(client),
          OrDash(destination), RouteText(route, ruleName), std::to_string(bytesFromClient),
          std::to_string(bytesToClient), Seconds(duration),
          EndText(end, error, detail) + (*note != '\0' ? std::string(": ") + note : "")}) {
        line += '\t';
        line += field;
    }
    return line;
}

}  // namespace tarnwick
