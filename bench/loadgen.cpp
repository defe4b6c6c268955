// tarnwick-loadgen: backends and load for measuring a forwarder on loopback, and the
// timing of Tarnwick's routing decision in process.
// Usage: tarnwick-loadgen SUBCOMMAND --option value ...
// Every subcommand prints one line of key=value pairs ending in ok=0 or ok=1.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/Commands.h"
#include "bench/Net.h"
#include "bench/ResultLine.h"

namespace tarnwick::bench {

namespace {

struct Subcommand {
    const char* name;
    int (*run)(const Options&);
    const char* usage;
};

constexpr Subcommand kSubcommands[] = {
    {"server", runServer,
     "--mode echo|sink|tag:TEXT|udp-echo --port-file F [--threads 2] [--seconds 3600]"},
    {"throughput", runThroughput, "--target HOST:PORT --bytes N [--chunk 262144]"},
    {"connrate", runConnRate,
     "--target HOST:PORT --seconds S [--clients 8] [--size 64]\n"
     "             [--marker HEX --marker-offset N --expect-tag TEXT]\n"
     "             [--tls-name NAME --expect-tag TEXT]"},
    {"latency", runLatency, "--target HOST:PORT --count N [--warmup 100] [--size 64]"},
    {"keepalive", runKeepAlive, "--target HOST:PORT --seconds S [--connections 50] [--size 64]"},
    {"idle", runIdle, "--target HOST:PORT --connections N --pid PID"},
    {"scale", runScale, "--target HOST:PORT --connections N --pid PID [--settle-ms 20000]"},
    {"shutdown", runShutdown, "--target HOST:PORT --connections N --pid PID"},
    {"udp", runUdp, "--target HOST:PORT --seconds S [--window 32] [--size 64] [--loss-ms 200] [--clients 1]"},
    {"probe", runProbe, "--target HOST:PORT --send TEXT --expect TEXT [--wait-ms 5000]"},
    {"freeport", runFreePort, "[--proto tcp|udp]"},
    {"decide", runDecide, "[--rules 10000] [--seconds 2]"},
};

int printUsage() {
    std::fprintf(stderr, "usage: tarnwick-loadgen SUBCOMMAND OPTIONS\n");
    for (const Subcommand& subcommand : kSubcommands) {
        std::fprintf(stderr, "  %-10s %s\n", subcommand.name, subcommand.usage);
    }
    return 2;
}

}  // namespace

int usageError(const char* command, const std::string& problem) {
    ResultLine result(command);
    result.add("error", "usage:" + problem);
    result.print(false);
    return 2;
}

}  // namespace tarnwick::bench

int main(int argc, char** argv) {
    using namespace tarnwick::bench;
    if (argc < 2) {
        return printUsage();
    }
    for (const Subcommand& subcommand : kSubcommands) {
        if (std::strcmp(argv[1], subcommand.name) == 0) {
            Options options;
            if (!options.parse(argc, argv, 2)) {
                return usageError(subcommand.name, options.problems());
            }
            raiseFdLimit();
            return subcommand.run(options);
        }
    }
    return printUsage();
}
