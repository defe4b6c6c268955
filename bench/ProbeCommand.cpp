// tarnwick-loadgen probe --target HOST:PORT --send TEXT --expect TEXT [--wait-ms 5000]
// Sends TEXT on a fresh connection and checks that the reply starts with the expected
// text, e.g. a tag backend's TEXT followed by the echo: which backend did a route reach?
// Fails when the expected number of bytes has not arrived within --wait-ms.
//
// tarnwick-loadgen freeport [--proto tcp|udp]
// Prints a port on 127.0.0.1 that was free a moment ago, for a forwarder to listen on.
#include <string>

#include "bench/Commands.h"
#include "bench/Net.h"
#include "bench/ResultLine.h"

namespace tarnwick::bench {

namespace {

constexpr Millis kConnectTimeout{5000};

}  // namespace

int runProbe(const Options& options) {
    const auto target = parseEndpoint(options.text("target"));
    const std::string send = options.text("send");
    const std::string expect = options.text("expect");
    const std::int64_t waitMs = options.number("wait-ms", 5000);
    std::string problem = options.problems();
    if (!target || send.empty() || expect.empty() || waitMs < 1) {
        problem += " needs --target HOST:PORT --send TEXT --expect TEXT";
    }
    if (!problem.empty()) {
        return usageError("probe", problem);
    }

    ResultLine result("probe");
    UniqueFd fd = connectTcp(*target, kConnectTimeout, Millis(waitMs));
    if (!fd.valid()) {
        return result.add("error", "connect:" + errnoText()).print(false);
    }
    std::string reply(expect.size(), '\0');
    if (!sendAll(fd.get(), send.data(), send.size()) ||
        !recvExact(fd.get(), reply.data(), reply.size())) {
        return result.add("error", "exchange:" + errnoText()).print(false);
    }
    return result.add("reply", reply).print(reply == expect);
}

int runFreePort(const Options& options) {
    const std::string proto = options.text("proto", "tcp");
    std::string problem = options.problems();
    if (proto != "tcp" && proto != "udp") {
        problem += " --proto must be tcp or udp";
    }
    if (!problem.empty()) {
        return usageError("freeport", problem);
    }
    const UniqueFd fd = proto == "udp" ? bindUdp() : listenTcp();
    const int port = fd.valid() ? localPort(fd.get()) : -1;
    ResultLine result("freeport");
    result.add("proto", proto);
    if (port <= 0) {
        return result.add("error", errnoText()).print(false);
    }
    return result.add("port", port).print(true);
}

}  // namespace tarnwick::bench
