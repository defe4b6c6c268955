// tarnwick-loadgen connrate --target HOST:PORT --seconds S [--clients 8] [--size 64]
// Each client thread repeats until S seconds have passed: connect, one echo round trip,
// close. Counts completed connections and failures of any step.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "Commands.h"
#include "EchoCheck.h"
#include "Net.h"
#include "ResultLine.h"

namespace tarnwick::bench {

namespace {

constexpr Millis kConnectTimeout{5000};
constexpr Millis kIoTimeout{5000};
constexpr std::int64_t kMaxClients = 256;

struct Tally {
    std::atomic<std::uint64_t> completed{0};
    std::atomic<std::uint64_t> errors{0};
    std::mutex firstErrorMutex;
    std::string firstError;

    void fail(const std::string& what) {
        if (errors.fetch_add(1) == 0) {
            std::lock_guard lock(firstErrorMutex);
            firstError = what;
        }
    }
};

void client(const sockaddr_in& target, std::size_t size, Clock::time_point end, int id,
            Tally& tally) {
    EchoCheck echo(size);
    for (std::uint64_t round = static_cast<std::uint64_t>(id) << 40; Clock::now() < end; ++round) {
        Fd fd = connectTcp(target, kConnectTimeout, kIoTimeout);
        if (!fd.valid()) {
            tally.fail("connect:" + errnoText());
        } else if (!echo.roundTrip(fd.get(), round)) {
            tally.fail("echo:" + EchoCheck::failure());
        } else {
            ++tally.completed;
        }
    }
}

}  // namespace

int runConnRate(const Options& options) {
    const auto target = parseEndpoint(options.text("target"));
    const double seconds = options.seconds("seconds", 0.0);
    const std::int64_t clients = options.number("clients", 8);
    const std::int64_t size = options.number("size", 64);
    std::string problem = options.problems();
    if (!target || seconds <= 0.0) {
        problem += " needs --target HOST:PORT --seconds S";
    }
    if (clients < 1 || clients > kMaxClients || size < 1) {
        problem += " --clients or --size out of range";
    }
    if (!problem.empty()) {
        return usageError("connrate", problem);
    }

    Tally tally;
    const auto start = Clock::now();
    const auto end = after(seconds);
    std::vector<std::thread> threads;
    for (int id = 0; id < clients; ++id) {
        threads.emplace_back(client, std::cref(*target), static_cast<std::size_t>(size), end, id,
                             std::ref(tally));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const double elapsed = secondsSince(start);
    const auto completed = tally.completed.load();
    ResultLine result("connrate");
    result.add("clients", clients)
        .add("connections", completed)
        .add("errors", tally.errors.load())
        .add("seconds", elapsed, 3)
        .add("conn_per_s", static_cast<double>(completed) / elapsed, 1);
    if (!tally.firstError.empty()) {
        result.add("first_error", tally.firstError);
    }
    return result.print(completed > 0);
}

}  // namespace tarnwick::bench
