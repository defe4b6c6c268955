// tarnwick-loadgen latency --target HOST:PORT --count N [--warmup 100] [--size 64]
// Ping-pong on one connection to an echo backend: each message is sent only after the
// previous one came back. The first --warmup round trips are not counted.
#include <string>

#include "bench/Clock.h"
#include "bench/Commands.h"
#include "bench/EchoCheck.h"
#include "bench/Net.h"
#include "bench/ResultLine.h"
#include "bench/Stats.h"

namespace tarnwick::bench {

namespace {

constexpr Millis kConnectTimeout{5000};
constexpr Millis kIoTimeout{5000};

}  // namespace

int runLatency(const Options& options) {
    const auto target = parseEndpoint(options.text("target"));
    const std::int64_t count = options.number("count", 0);
    const std::int64_t warmup = options.number("warmup", 100);
    const std::int64_t size = options.number("size", 64);
    std::string problem = options.problems();
    if (!target || count < 1 || size < 1) {
        problem += " needs --target HOST:PORT --count N";
    }
    if (!problem.empty()) {
        return usageError("latency", problem);
    }

    ResultLine result("latency");
    UniqueFd fd = connectTcp(*target, kConnectTimeout, kIoTimeout);
    if (!fd.valid()) {
        return result.add("error", "connect:" + errnoText()).print(false);
    }
    EchoCheck echo(static_cast<std::size_t>(size));
    Stats micros;
    micros.reserve(static_cast<std::size_t>(count));
    const auto rounds = static_cast<std::uint64_t>(warmup + count);
    for (std::uint64_t round = 0; round < rounds; ++round) {
        echo.prepare(round);
        const auto sentAt = Clock::now();
        if (!echo.send(fd.get()) || !echo.receive(fd.get())) {
            return result.add("samples", micros.count())
                .add("error", "echo:" + EchoCheck::failure())
                .print(false);
        }
        if (round >= static_cast<std::uint64_t>(warmup)) {
            micros.add(microsBetween(sentAt, Clock::now()));
        }
    }
    return result.add("samples", micros.count())
        .add("p50_us", micros.percentile(50), 1)
        .add("p99_us", micros.percentile(99), 1)
        .add("mean_us", micros.mean(), 1)
        .add("max_us", micros.max(), 1)
        .print(true);
}

}  // namespace tarnwick::bench
