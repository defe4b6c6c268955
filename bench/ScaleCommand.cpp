// tarnwick-loadgen scale --target HOST:PORT --connections N --pid PID [--settle-ms 20000]
// Holds N connections through a forwarder at once and checks that it gives back what
// they took. Reads the descriptor and thread counts of process PID (the forwarder), opens
// N connections to the target (an echo backend behind it), each proven relayed by one
// round trip whose message names the connection, records the peak counts, does one more
// round trip on every connection (all sent first, then all answers read), closes them
// all, and waits up to the settle time for both counts to fall back to where they began.
//
// Opening stops at the first connection that fails; the ones already open still get
// their second round trip. ok=1 only when all N passed both round trips and both counts
// came back.
#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "bench/Clock.h"
#include "bench/Commands.h"
#include "bench/EchoCheck.h"
#include "bench/Net.h"
#include "bench/ProcessLoad.h"
#include "bench/ResultLine.h"

namespace tarnwick::bench {

namespace {

// Bounds each connect, send and receive while the connections are opened.
constexpr Millis kOpenTimeout{5000};
// The whole second round (N answers read one after the other) gets this long.
constexpr double kSecondRoundSeconds = 60.0;
constexpr std::size_t kProbeSize = 16;
// While opening, the counts of PID are read once per this many connections.
constexpr std::int64_t kSampleEvery = 500;
constexpr long kPollIntervalNs = 20'000'000;

struct Counts {
    std::int64_t fds = 0;
    std::int64_t threads = 0;
};

// Entries of a /proc directory, or nullopt when it cannot be read (the process is gone).
std::optional<std::int64_t> countEntries(const std::string& path) {
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        return std::nullopt;
    }
    std::int64_t count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(directory);
    return count;
}

std::optional<Counts> countsOf(std::int64_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    const auto fds = countEntries(base + "/fd");
    const auto threads = countEntries(base + "/task");
    if (!fds || !threads) {
        return std::nullopt;
    }
    return Counts{*fds, *threads};
}

double perConnection(std::int64_t growth, std::int64_t connections) {
    return connections > 0 ? static_cast<double>(growth) / static_cast<double>(connections) : 0.0;
}

class ScaleRun {
public:
    ScaleRun(const sockaddr_in& target, std::int64_t connections, std::int64_t pid)
        : target_(target), connections_(connections), pid_(pid), echo_(kProbeSize) {}

    bool start() {
        const auto counts = countsOf(pid_);
        if (counts) {
            before_ = *counts;
            peak_ = *counts;
        }
        return counts.has_value();
    }

    // Opens connections until N are open or one fails; each proves it is relayed. Returns
    // what failed, or nothing.
    std::string openAll() {
        open_.reserve(static_cast<std::size_t>(connections_));
        for (std::int64_t i = 0; i < connections_; ++i) {
            std::string failure;
            UniqueFd fd =
                echo_.openRelayed(target_, static_cast<std::uint64_t>(i), kOpenTimeout, failure);
            if (!fd.valid()) {
                return failure;
            }
            open_.push_back(std::move(fd));
            if ((i + 1) % kSampleEvery == 0) {
                sample();
            }
        }
        sample();
        return "";
    }

    // One more round trip on every open connection: all messages out first, so that every
    // relay is busy at once, then the answers in order. Returns how many came back right.
    std::int64_t secondRound() {
        std::vector<bool> sent(open_.size(), false);
        for (std::size_t i = 0; i < open_.size(); ++i) {
            echo_.prepare(secondRoundOf(i));
            sent[i] = echo_.send(open_[i].get());
        }
        sample();
        const auto deadline = after(kSecondRoundSeconds);
        std::int64_t passed = 0;
        for (std::size_t i = 0; i < open_.size(); ++i) {
            if (!sent[i]) {
                continue;
            }
            const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
            setIoTimeout(open_[i].get(), std::max(left, Millis{1}));
            echo_.prepare(secondRoundOf(i));
            if (echo_.receive(open_[i].get())) {
                ++passed;
            } else if (firstFailure_.empty()) {
                firstFailure_ = "second_round_" + std::to_string(i) + ":" + EchoCheck::failure();
            }
        }
        return passed;
    }

    void closeAll() { open_.clear(); }

    // Polls PID until both counts are back to where they began or the time is up; the
    // last counts read, or nothing when PID has gone.
    std::optional<Counts> settle(double seconds) {
        const auto deadline = after(seconds);
        for (;;) {
            const auto counts = countsOf(pid_);
            if (!counts || backToStart(*counts) || Clock::now() >= deadline) {
                return counts;
            }
            const timespec interval{0, kPollIntervalNs};
            ::nanosleep(&interval, nullptr);
        }
    }

    bool backToStart(const Counts& counts) const {
        return counts.fds <= before_.fds && counts.threads <= before_.threads;
    }

    std::size_t opened() const { return open_.size(); }
    const Counts& before() const { return before_; }
    const Counts& peak() const { return peak_; }
    const std::string& secondRoundFailure() const { return firstFailure_; }

private:
    // The second message of connection i names it as well, and differs from its first.
    std::uint64_t secondRoundOf(std::size_t i) const {
        return static_cast<std::uint64_t>(connections_) + i;
    }

    void sample() {
        if (const auto counts = countsOf(pid_)) {
            peak_.fds = std::max(peak_.fds, counts->fds);
            peak_.threads = std::max(peak_.threads, counts->threads);
        }
    }

    sockaddr_in target_;
    std::int64_t connections_;
    std::int64_t pid_;
    EchoCheck echo_;
    std::vector<UniqueFd> open_;
    Counts before_;
    Counts peak_;
    std::string firstFailure_;
};

}  // namespace

int runScale(const Options& options) {
    const std::int64_t settleMs = options.number("settle-ms", 20000);
    std::string problem;
    const std::optional<ProcessLoad> load = parseProcessLoad(options, problem);
    if (!load) {
        return usageError("scale", problem);
    }
    const sockaddr_in& target = load->target;
    const std::int64_t connections = load->connections;
    const std::int64_t pid = load->pid;

    ResultLine result("scale");
    result.add("connections", connections);
    if (const std::string tooLow = fdLimitProblem(connections); !tooLow.empty()) {
        return result.add("relayed", std::int64_t{0}).add("error", tooLow).print(false);
    }
    ScaleRun run(target, connections, pid);
    if (!run.start()) {
        return result.add("relayed", std::int64_t{0})
            .add("error", "cannot_read_proc_of_" + std::to_string(pid))
            .print(false);
    }
    const auto started = Clock::now();
    const std::string openFailure = run.openAll();
    const auto opened = static_cast<std::int64_t>(run.opened());
    const std::int64_t relayed = run.secondRound();
    run.closeAll();
    const auto closed = Clock::now();
    const auto settled = run.settle(static_cast<double>(settleMs) / 1000.0);
    result.add("relayed", relayed)
        .add("opened", opened)
        .add("fds_before", run.before().fds)
        .add("fds_peak", run.peak().fds)
        .add("fds_after", settled ? settled->fds : std::int64_t{-1})
        .add("threads_before", run.before().threads)
        .add("threads_peak", run.peak().threads)
        .add("threads_after", settled ? settled->threads : std::int64_t{-1})
        .add("fds_per_conn", perConnection(run.peak().fds - run.before().fds, opened), 2)
        .add("threads_per_conn", perConnection(run.peak().threads - run.before().threads, opened),
             2)
        .add("seconds", secondsSince(started), 2)
        .add("settle_seconds", secondsSince(closed), 2);
    std::string error = !openFailure.empty() ? openFailure : run.secondRoundFailure();
    if (!settled) {
        error += (error.empty() ? "" : ",") + std::string("process_gone");
    } else if (!run.backToStart(*settled)) {
        error += (error.empty() ? "" : ",") + std::string("not_back_to_start");
    }
    if (!error.empty()) {
        result.add("error", error);
    }
    return result.print(error.empty() && relayed == connections);
}

}  // namespace tarnwick::bench
