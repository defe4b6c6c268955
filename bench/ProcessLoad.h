// The options of a load held through one forwarder process:
// --target HOST:PORT --connections N --pid PID (idle, scale, shutdown).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

#include "bench/Net.h"
#include "bench/Options.h"

namespace tarnwick::bench {

struct ProcessLoad {
    sockaddr_in target;
    std::int64_t connections;
    std::int64_t pid;
};

// The three options, or nullopt with the usage problem (every other option's included) in
// `problem`. Call it after the subcommand has read its own options.
inline std::optional<ProcessLoad> parseProcessLoad(const Options& options, std::string& problem) {
    const auto target = parseEndpoint(options.text("target"));
    const std::int64_t connections = options.number("connections", 0);
    const std::int64_t pid = options.number("pid", 0);
    problem = options.problems();
    if (!target || connections < 1 || pid < 1) {
        problem += " needs --target HOST:PORT --connections N --pid PID";
    }
    if (!problem.empty()) {
        return std::nullopt;
    }
    return ProcessLoad{*target, connections, pid};
}

}  // namespace tarnwick::bench
