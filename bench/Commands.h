// The subcommands of tarnwick-loadgen. Each prints one result line (see ResultLine) and
// returns the process exit status: 0 done, 1 the measurement failed, 2 bad usage.
#pragma once

#include "bench/Options.h"

namespace tarnwick::bench {

int runServer(const Options& options);
int runThroughput(const Options& options);
int runConnRate(const Options& options);
int runLatency(const Options& options);
int runKeepAlive(const Options& options);
int runIdle(const Options& options);
int runScale(const Options& options);
int runShutdown(const Options& options);
int runUdp(const Options& options);
int runProbe(const Options& options);
int runFreePort(const Options& options);
int runDecide(const Options& options);

// Prints the usage problem of a subcommand as a result line; returns 2.
int usageError(const char* command, const std::string& problem);

}  // namespace tarnwick::bench
