// tarnwick-loadgen shutdown --target HOST:PORT --connections N --pid PID
// How long a forwarder takes to end with N connections open. Opens N connections to the
// target (an echo backend behind the forwarder PID), each proven relayed by one round trip
// whose message names the connection, sends PID a SIGTERM and polls /proc/PID every 2 ms,
// for up to 30 s, until the process has ended. Then it gives the connections up to 5 s to
// see their end (EOF or reset), and counts those that did.
//
// Ended means: /proc/PID is gone, or the process is a zombie (state Z or X), or PID now
// names a process started later. The forwarder is not the load generator's child, so it
// stays a zombie until whoever started it reaps it, and may be reaped and its PID handed
// out again at any moment.
//
// Opening stops at the first connection that fails, and then no signal is sent. ok=1 only
// when all N were relayed, the process ended in time and every connection was closed.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>
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
constexpr std::size_t kProbeSize = 16;
// How long the process gets to end after the SIGTERM, and how often it is looked at.
constexpr double kStopSeconds = 30.0;
constexpr long kPollIntervalNs = 2'000'000;
// How long the connections get, once the process has ended, to see their end.
constexpr double kCloseSeconds = 5.0;

// What /proc/PID/stat tells of a process: its state letter and its start time (clock
// ticks after boot), which with the PID names one process for good.
struct ProcessStat {
    char state = '?';
    unsigned long long startTicks = 0;
};

// nullopt when there is no such process (it has ended and been reaped).
std::optional<ProcessStat> statOf(std::int64_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    // The fields start after the command name in parentheses, which may hold anything.
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(close + 1));
    ProcessStat stat;
    std::string skipped;
    fields >> stat.state;
    // Fields 4 to 21 (parent to itrealvalue) lie between the state and the start time.
    for (int field = 4; field <= 21; ++field) {
        fields >> skipped;
    }
    if (!(fields >> stat.startTicks)) {
        return std::nullopt;
    }
    return stat;
}

// The time from the signal to the process's end (or to giving up), and what failed.
struct StopResult {
    double seconds = 0.0;
    std::string failure;
};

class ShutdownRun {
public:
    ShutdownRun(const sockaddr_in& target, std::int64_t connections, std::int64_t pid)
        : target_(target), connections_(connections), pid_(pid), echo_(kProbeSize) {}

    // Notes which process PID names now; false when there is none to stop.
    bool start() {
        const auto stat = statOf(pid_);
        if (!stat) {
            return false;
        }
        startTicks_ = stat->startTicks;
        return !ended(*stat);
    }

    // Opens connections until N are open or one fails. Returns what failed, or nothing.
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
        }
        return "";
    }

    // Sends SIGTERM and polls until the process has ended or the time is up.
    StopResult stop() const {
        // One that ended before the signal (it failed under the load) has no stop to time,
        // and its PID may be someone else's by now.
        if (processEnded()) {
            return {0.0, "ended_before_signal"};
        }
        if (::kill(static_cast<pid_t>(pid_), SIGTERM) != 0) {
            return {0.0, "kill:" + errnoText()};
        }
        const auto signalled = Clock::now();
        const auto deadline = after(kStopSeconds);
        bool gone = processEnded();
        while (!gone && Clock::now() < deadline) {
            const timespec interval{0, kPollIntervalNs};
            ::nanosleep(&interval, nullptr);
            gone = processEnded();
        }
        const double seconds = secondsSince(signalled);
        if (!gone) {
            return {seconds,
                    "not_ended_in_" + std::to_string(static_cast<int>(kStopSeconds)) + "s"};
        }
        return {seconds, ""};
    }

    // Waits up to the close time for every open connection to see EOF or a reset; how
    // many did.
    std::int64_t closedWithin(double seconds) {
        std::vector<pollfd> watched;
        watched.reserve(open_.size());
        for (const UniqueFd& fd : open_) {
            watched.push_back(pollfd{fd.get(), POLLIN | POLLRDHUP, 0});
        }
        std::int64_t closed = 0;
        const auto deadline = after(seconds);
        while (closed < static_cast<std::int64_t>(watched.size())) {
            const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            const int ready =
                ::poll(watched.data(), watched.size(), static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) {
                break;
            }
            closed += takeEnded(watched);
        }
        return closed;
    }

    std::size_t opened() const { return open_.size(); }

private:
    bool ended(const ProcessStat& stat) const {
        return stat.state == 'Z' || stat.state == 'X' || stat.startTicks != startTicks_;
    }

    bool processEnded() const {
        const auto stat = statOf(pid_);
        return !stat || ended(*stat);
    }

    // Of the connections poll marked, those at their end stop being watched (a negative
    // descriptor is skipped by poll); returns how many. Bytes nobody asked for are read
    // and dropped: the end may follow them.
    static std::int64_t takeEnded(std::vector<pollfd>& watched) {
        std::int64_t ended = 0;
        std::array<char, 256> buffer{};
        for (pollfd& entry : watched) {
            if (entry.fd < 0 || entry.revents == 0) {
                continue;
            }
            const ssize_t got = ::recv(entry.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            const bool atEnd = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
            if (atEnd) {
                entry.fd = -1;
                ++ended;
            }
            entry.revents = 0;
        }
        return ended;
    }

    sockaddr_in target_;
    std::int64_t connections_;
    std::int64_t pid_;
    EchoCheck echo_;
    std::vector<UniqueFd> open_;
    unsigned long long startTicks_ = 0;
};

}  // namespace

int runShutdown(const Options& options) {
    std::string problem;
    const std::optional<ProcessLoad> load = parseProcessLoad(options, problem);
    if (!load) {
        return usageError("shutdown", problem);
    }
    const sockaddr_in& target = load->target;
    const std::int64_t connections = load->connections;
    const std::int64_t pid = load->pid;

    ResultLine result("shutdown");
    result.add("connections", connections);
    if (const std::string tooLow = fdLimitProblem(connections); !tooLow.empty()) {
        return result.add("relayed", std::int64_t{0}).add("error", tooLow).print(false);
    }
    ShutdownRun run(target, connections, pid);
    if (!run.start()) {
        return result.add("relayed", std::int64_t{0})
            .add("error", "no_process_" + std::to_string(pid))
            .print(false);
    }
    if (const std::string openFailure = run.openAll(); !openFailure.empty()) {
        return result.add("relayed", static_cast<std::int64_t>(run.opened()))
            .add("error", openFailure)
            .print(false);
    }
    const StopResult stopped = run.stop();
    const std::int64_t closed = run.closedWithin(kCloseSeconds);
    result.add("relayed", connections)
        .add("stop_seconds", stopped.seconds, 3)
        .add("ended", std::int64_t{stopped.failure.empty() ? 1 : 0})
        .add("closed", closed);
    std::string error = stopped.failure;
    if (closed < connections) {
        error += (error.empty() ? "" : ",") + std::string("not_all_closed");
    }
    if (!error.empty()) {
        result.add("error", error);
    }
    return result.print(error.empty());
}

}  // namespace tarnwick::bench
