// tarnwick-loadgen udp --target HOST:PORT --seconds S [--window 32] [--size 64]
//                      [--loss-ms 200] [--clients 1]
// Request/response datagrams against a UDP echo, with up to --window requests in flight.
// Each request carries its sequence number; one with no answer after --loss-ms counts as
// lost and a new request takes its place. An answer that arrives after that counts as late,
// not as received. Sending stops after S seconds; answers are awaited --loss-ms longer.
// With --clients N, N sockets (each a client of its own, on a thread of its own) each keep
// their own window; a client's sequence numbers carry its index, so an answer that reaches
// a client which did not ask for it counts as misdelivered, and fails the run.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bench/Clock.h"
#include "bench/Commands.h"
#include "bench/Net.h"
#include "bench/ResultLine.h"

namespace tarnwick::bench {

namespace {

constexpr std::size_t kMinSize = sizeof(std::uint64_t);
constexpr std::size_t kMaxSize = 1400;

struct UdpTally {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::uint64_t lost = 0;
    std::uint64_t late = 0;
    std::uint64_t corrupt = 0;
    std::uint64_t errors = 0;
    std::uint64_t misdelivered = 0;

    void add(const UdpTally& other) {
        sent += other.sent;
        received += other.received;
        lost += other.lost;
        late += other.late;
        corrupt += other.corrupt;
        errors += other.errors;
        misdelivered += other.misdelivered;
    }
};

// A client's index in the top bits of each of its sequence numbers.
constexpr int kClientShift = 48;

void fillRequest(std::vector<char>& data, std::uint64_t sequence) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((sequence * 7 + i) % 251);
    }
    std::memcpy(data.data(), &sequence, sizeof sequence);
}

class UdpLoad {
public:
    UdpLoad(int fd, std::size_t size, std::size_t window, Clock::duration lossAfter,
            std::uint64_t client = 0)
        : fd_(fd),
          client_(client),
          window_(window),
          lossAfter_(lossAfter),
          request_(size),
          answer_(size),
          expected_(size),
          next_(client << kClientShift) {}

    // Keeps the window full until `end`, then waits for the last answers.
    void run(Clock::time_point end) {
        for (;;) {
            const auto now = Clock::now();
            expire(now);
            const bool sending = now < end;
            if (sending) {
                fill();
            } else if (waiting_.empty() || now >= end + lossAfter_) {
                break;
            }
            awaitAnswers(sending ? std::min(end, nextExpiry(end)) : nextExpiry(end + lossAfter_));
        }
        tally_.lost += waiting_.size();
    }

    const UdpTally& tally() const { return tally_; }

private:
    struct InFlight {
        std::uint64_t sequence;
        Clock::time_point sentAt;
    };

    void fill() {
        while (waiting_.size() < window_) {
            fillRequest(request_, next_);
            if (::send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL) < 0) {
                ++tally_.errors;
                return;
            }
            inFlight_.push_back({next_, Clock::now()});
            waiting_.insert(next_++);
            ++tally_.sent;
        }
    }

    void expire(Clock::time_point now) {
        while (!inFlight_.empty()) {
            const InFlight& oldest = inFlight_.front();
            if (waiting_.count(oldest.sequence) != 0) {
                if (now - oldest.sentAt < lossAfter_) {
                    return;
                }
                waiting_.erase(oldest.sequence);
                ++tally_.lost;
            }
            inFlight_.pop_front();
        }
    }

    Clock::time_point nextExpiry(Clock::time_point otherwise) const {
        for (const InFlight& entry : inFlight_) {
            if (waiting_.count(entry.sequence) != 0) {
                return std::min(otherwise, entry.sentAt + lossAfter_);
            }
        }
        return otherwise;
    }

    void awaitAnswers(Clock::time_point until) {
        const auto wait = std::chrono::ceil<Millis>(until - Clock::now());
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(std::max<Millis::rep>(wait.count(), 0))) <= 0) {
            return;
        }
        for (;;) {
            const ssize_t got = ::recv(fd_, answer_.data(), answer_.size(), MSG_DONTWAIT);
            if (got < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    ++tally_.errors;
                }
                return;
            }
            take(static_cast<std::size_t>(got));
        }
    }

    void take(std::size_t size) {
        std::uint64_t sequence = 0;
        std::memcpy(&sequence, answer_.data(), std::min(size, sizeof sequence));
        fillRequest(expected_, sequence);
        if (size != answer_.size() || answer_ != expected_) {
            ++tally_.corrupt;
        } else if (sequence >> kClientShift != client_) {
            ++tally_.misdelivered;
        } else if (waiting_.erase(sequence) != 0) {
            ++tally_.received;
        } else {
            ++tally_.late;
        }
    }

    int fd_;
    std::uint64_t client_;
    std::size_t window_;
    Clock::duration lossAfter_;
    std::vector<char> request_;
    std::vector<char> answer_;
    std::vector<char> expected_;
    std::uint64_t next_;
    std::deque<InFlight> inFlight_;
    std::unordered_set<std::uint64_t> waiting_;
    UdpTally tally_;
};

}  // namespace

int runUdp(const Options& options) {
    const auto target = parseEndpoint(options.text("target"));
    const double seconds = options.seconds("seconds", 0.0);
    const std::int64_t window = options.number("window", 32);
    const std::int64_t size = options.number("size", 64);
    const std::int64_t lossMs = options.number("loss-ms", 200);
    const std::int64_t clients = options.number("clients", 1);
    std::string problem = options.problems();
    if (!target || seconds <= 0.0) {
        problem += " needs --target HOST:PORT --seconds S";
    }
    if (window < 1 || size < static_cast<std::int64_t>(kMinSize) ||
        size > static_cast<std::int64_t>(kMaxSize) || lossMs < 1 || clients < 1 || clients > 256) {
        problem += " --window, --size, --loss-ms or --clients out of range";
    }
    if (!problem.empty()) {
        return usageError("udp", problem);
    }

    ResultLine result("udp");
    std::vector<UniqueFd> fds;
    std::vector<std::unique_ptr<UdpLoad>> loads;
    for (std::int64_t client = 0; client < clients; ++client) {
        fds.push_back(connectUdp(*target, Millis(lossMs)));
        if (!fds.back().valid()) {
            return result.add("error", "socket:" + errnoText()).print(false);
        }
        loads.push_back(std::make_unique<UdpLoad>(
            fds.back().get(), static_cast<std::size_t>(size), static_cast<std::size_t>(window),
            Millis(lossMs), static_cast<std::uint64_t>(client)));
    }
    const auto start = Clock::now();
    const auto end = after(seconds);
    std::vector<std::thread> threads;
    for (auto& load : loads) {
        threads.emplace_back([&load, end] { load->run(end); });
    }
    UdpTally tally;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        threads[i].join();
        tally.add(loads[i]->tally());
    }
    const double sendingSeconds = std::chrono::duration<double>(end - start).count();
    const double lossPercent =
        tally.sent == 0 ? 0.0
                        : 100.0 * static_cast<double>(tally.lost) / static_cast<double>(tally.sent);
    return result.add("window", window)
        .add("clients", clients)
        .add("sent", tally.sent)
        .add("received", tally.received)
        .add("lost", tally.lost)
        .add("late", tally.late)
        .add("corrupt", tally.corrupt)
        .add("errors", tally.errors)
        .add("misdelivered", tally.misdelivered)
        .add("seconds", sendingSeconds, 3)
        .add("req_per_s", static_cast<double>(tally.received) / sendingSeconds, 1)
        .add("loss_pct", lossPercent, 3)
        .print(tally.received > 0 && tally.misdelivered == 0);
}

}  // namespace tarnwick::bench
