// tarnwick-loadgen keepalive --target HOST:PORT --connections 50 --seconds S [--size 64]
// Busy keep-alive connections: opens N connections to an echo backend and, on each of
// them, sends a request of --size bytes, reads its echo, checks it byte for byte, and
// sends the next, for S seconds. Counts the requests answered in that time and times
// each one, from its send to the last byte of its echo. Then sends no more and waits
// (bounded) for the requests still in flight, so that every connection ends quiet; those
// are counted as drained, not in the rate.
//
// One thread drives every connection through one epoll set. The load runs next to the
// backend and the forwarder on a machine of a few cores: a thread per connection would
// have 50 client threads competing with them for the CPU, and the scheduler's choices
// among them would move the figure more than the forwarder does. One thread takes at most
// one core, the same for every forwarder, and with 50 requests in flight it keeps the
// path busy.
//
// A connection that fails (a send or receive error, an early close, a wrong or unasked
// echo) counts as an error and is closed; the others go on. ok=1 only without errors.
#include <sys/epoll.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/Clock.h"
#include "bench/Commands.h"
#include "bench/KeepAliveConnection.h"
#include "bench/Net.h"
#include "bench/ResultLine.h"
#include "bench/Stats.h"

namespace tarnwick::bench {

namespace {

constexpr Millis kConnectTimeout{5000};
// How long the requests in flight at the end may take to come back.
constexpr double kDrainSeconds = 5.0;
constexpr std::int64_t kMaxConnections = 1000;
constexpr std::int64_t kMaxSize = 65536;
constexpr int kMaxEvents = 64;

struct KeepAliveTally {
    std::uint64_t requests = 0;
    std::uint64_t drained = 0;
    std::uint64_t errors = 0;
    std::string firstError;
    Stats micros;
};

class KeepAliveLoad {
public:
    KeepAliveLoad() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

    // Opens the connections; what failed, or nothing.
    std::string open(const sockaddr_in& target, std::int64_t count, std::size_t size) {
        if (!epoll_.valid()) {
            return "epoll:" + errnoText();
        }
        connections_.reserve(static_cast<std::size_t>(count));
        for (std::int64_t i = 0; i < count; ++i) {
            UniqueFd fd = connectTcp(target, kConnectTimeout, kConnectTimeout);
            if (!fd.valid() || !setNonBlocking(fd.get())) {
                return "connect_" + std::to_string(i) + ":" + errnoText();
            }
            epoll_event event{EPOLLIN, {}};
            event.data.u64 = static_cast<std::uint64_t>(i);
            if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd.get(), &event) != 0) {
                return "epoll_ctl:" + errnoText();
            }
            connections_.emplace_back(std::move(fd), static_cast<std::uint64_t>(i), size);
        }
        writing_.assign(connections_.size(), false);
        return "";
    }

    // Keeps a request in flight on every connection until `end`, then waits for the last
    // answers. Returns the seconds of the busy part, the one the rate is taken over.
    double run(Clock::time_point end) {
        const auto started = Clock::now();
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            onStep(i, connections_[i].start(started));
        }
        while (live() > 0 && Clock::now() < end) {
            turn(end);
        }
        const double busy = secondsSince(started);
        draining_ = true;
        const auto drainEnd = after(kDrainSeconds);
        while (inFlight() > 0 && Clock::now() < drainEnd) {
            turn(drainEnd);
        }
        for (KeepAliveConnection& connection : connections_) {
            if (connection.inFlight()) {
                connection.fail("no_echo_in_time");
                countFailure(connection);
            }
        }
        return busy;
    }

    KeepAliveTally& tally() { return tally_; }

private:
    // One epoll wait, bounded by `until`, and what became ready.
    void turn(Clock::time_point until) {
        const auto wait = std::chrono::ceil<Millis>(until - Clock::now());
        const int timeout = static_cast<int>(std::max<Millis::rep>(wait.count(), 0));
        epoll_event ready[kMaxEvents];
        const int count = ::epoll_wait(epoll_.get(), ready, kMaxEvents, timeout);
        for (int i = 0; i < count; ++i) {
            handle(static_cast<std::size_t>(ready[i].data.u64), ready[i].events);
        }
    }

    void handle(std::size_t index, std::uint32_t events) {
        KeepAliveConnection& connection = connections_[index];
        if (!connection.open()) {
            return;
        }
        if ((events & EPOLLOUT) != 0) {
            onStep(index, connection.onWritable());
        }
        if (connection.open() && (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) {
            onStep(index, connection.onReadable());
        }
    }

    // Acts on what a step of connection `index` came to: an answer is counted and, while
    // the load is busy, followed by the next request.
    void onStep(std::size_t index, KeepAliveConnection::Step step) {
        KeepAliveConnection& connection = connections_[index];
        if (step == KeepAliveConnection::Step::Answered) {
            const auto now = Clock::now();
            if (draining_) {
                ++tally_.drained;
                return;
            }
            ++tally_.requests;
            tally_.micros.add(microsBetween(connection.sentAt(), now));
            step = connection.start(now);
        }
        if (step == KeepAliveConnection::Step::Failed) {
            countFailure(connection);
            return;
        }
        watchWrites(index, connection.wantsWrite());
    }

    void countFailure(const KeepAliveConnection& connection) {
        if (tally_.errors++ == 0) {
            tally_.firstError = connection.failure();
        }
    }

    // Asks for EPOLLOUT only while part of a request waits to be sent.
    void watchWrites(std::size_t index, bool wanted) {
        if (writing_[index] == wanted) {
            return;
        }
        epoll_event event{EPOLLIN | (wanted ? EPOLLOUT : 0u), {}};
        event.data.u64 = index;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, connections_[index].fd(), &event);
        writing_[index] = wanted;
    }

    std::size_t live() const {
        return static_cast<std::size_t>(
            std::count_if(connections_.begin(), connections_.end(),
                          [](const KeepAliveConnection& c) { return c.open(); }));
    }

    std::size_t inFlight() const {
        return static_cast<std::size_t>(
            std::count_if(connections_.begin(), connections_.end(),
                          [](const KeepAliveConnection& c) { return c.inFlight(); }));
    }

    UniqueFd epoll_;
    std::vector<KeepAliveConnection> connections_;
    std::vector<bool> writing_;
    bool draining_ = false;
    KeepAliveTally tally_;
};

}  // namespace

int runKeepAlive(const Options& options) {
    const auto target = parseEndpoint(options.text("target"));
    const std::int64_t connections = options.number("connections", 50);
    const double seconds = options.seconds("seconds", 0.0);
    const std::int64_t size = options.number("size", 64);
    std::string problem = options.problems();
    if (!target || seconds <= 0.0) {
        problem += " needs --target HOST:PORT --seconds S";
    }
    if (connections < 1 || connections > kMaxConnections || size < 1 || size > kMaxSize) {
        problem += " --connections or --size out of range";
    }
    if (!problem.empty()) {
        return usageError("keepalive", problem);
    }

    ResultLine result("keepalive");
    result.add("connections", connections);
    KeepAliveLoad load;
    if (const std::string failed = load.open(*target, connections, static_cast<std::size_t>(size));
        !failed.empty()) {
        return result.add("requests", std::int64_t{0}).add("error", failed).print(false);
    }
    const double busy = load.run(after(seconds));
    KeepAliveTally& tally = load.tally();
    const double rate = busy > 0.0 ? static_cast<double>(tally.requests) / busy : 0.0;
    result.add("requests", tally.requests)
        .add("drained", tally.drained)
        .add("errors", tally.errors)
        .add("seconds", busy, 3)
        .add("req_per_s", rate, 1)
        .add("p50_us", tally.micros.percentile(50), 1)
        .add("p99_us", tally.micros.percentile(99), 1)
        .add("mean_us", tally.micros.mean(), 1)
        .add("max_us", tally.micros.max(), 1);
    if (!tally.firstError.empty()) {
        result.add("first_error", tally.firstError);
    }
    return result.print(tally.errors == 0 && tally.requests > 0);
}

}  // namespace tarnwick::bench
