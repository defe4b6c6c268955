// tarnwick-loadgen server --mode echo|sink|tag:TEXT|udp-echo --port-file F
//                         [--threads N] [--seconds LIFETIME]
// Serves on 127.0.0.1 at a port the kernel picks and writes that port to F. Runs until
// SIGTERM or SIGINT, or until LIFETIME seconds have passed, then prints its counters.
#include <signal.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "bench/Commands.h"
#include "bench/Net.h"
#include "bench/ResultLine.h"
#include "bench/TcpBackend.h"
#include "bench/UdpEcho.h"

namespace tarnwick::bench {

namespace {

constexpr double kDefaultLifetime = 3600.0;
constexpr std::int64_t kMaxThreads = 64;

using ServeFunction = std::function<void(int stopFd, BackendCounters& counters)>;

std::optional<BackendMode> parseMode(const std::string& text) {
    if (text == "echo") {
        return BackendMode{BackendMode::Kind::Echo, ""};
    }
    if (text == "sink") {
        return BackendMode{BackendMode::Kind::Sink, ""};
    }
    if (text.rfind("tag:", 0) == 0 && text.size() > 4) {
        return BackendMode{BackendMode::Kind::Tag, text.substr(4)};
    }
    return std::nullopt;
}

// Written under a temporary name and renamed, so a reader never sees half a number.
bool writePortFile(const std::string& path, int port) {
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fprintf(file, "%d\n", port) > 0;
    const bool closed = std::fclose(file) == 0;
    return written && closed && std::rename(temporary.c_str(), path.c_str()) == 0;
}

// Blocks until a stop signal arrives or the lifetime ends.
void awaitStop(const sigset_t& stopSignals, double lifetime) {
    timespec limit{};
    limit.tv_sec = static_cast<time_t>(lifetime);
    limit.tv_nsec = static_cast<long>((lifetime - std::floor(lifetime)) * 1e9);
    while (::sigtimedwait(&stopSignals, nullptr, &limit) < 0 && errno == EINTR) {
    }
}

BackendCounters serveUntilStopped(const ServeFunction& serve, int threads,
                                  const sigset_t& stopSignals, double lifetime) {
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    std::vector<BackendCounters> counters(static_cast<std::size_t>(threads));
    std::vector<std::thread> workers;
    for (auto& slot : counters) {
        workers.emplace_back([&serve, &slot, fd = stop.get()] { serve(fd, slot); });
    }
    awaitStop(stopSignals, lifetime);
    ::eventfd_write(stop.get(), 1);
    BackendCounters total;
    for (std::size_t i = 0; i < workers.size(); ++i) {
        workers[i].join();
        total.connections += counters[i].connections;
        total.bytesIn += counters[i].bytesIn;
        total.bytesOut += counters[i].bytesOut;
    }
    return total;
}

}  // namespace

int runServer(const Options& options) {
    const std::string modeText = options.text("mode");
    const std::string portFile = options.text("port-file");
    const std::int64_t threads = options.number("threads", 2);
    const double lifetime = options.seconds("seconds", kDefaultLifetime);
    const bool udp = modeText == "udp-echo";
    const auto mode = parseMode(modeText);
    std::string problem = options.problems();
    if (!udp && !mode) {
        problem += " --mode must be echo, sink, tag:TEXT or udp-echo";
    }
    if (portFile.empty()) {
        problem += " --port-file missing";
    }
    if (threads < 1 || threads > kMaxThreads) {
        problem += " --threads out of range";
    }
    if (!problem.empty()) {
        return usageError("server", problem);
    }

    // Stop signals are taken by sigtimedwait alone: blocked here, before any thread starts,
    // so every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ResultLine result("server");
    result.add("mode", modeText);
    UniqueFd socket = udp ? bindUdp() : listenTcp();
    const int port = socket.valid() ? localPort(socket.get()) : -1;
    if (port <= 0 || !writePortFile(portFile, port)) {
        return result.add("error", errnoText()).print(false);
    }
    result.add("port", port);

    ServeFunction serve;
    int serving = static_cast<int>(threads);
    if (udp) {
        serve = [echo = std::make_shared<UdpEcho>(std::move(socket))](int fd, auto& counters) {
            echo->serve(fd, counters);
        };
        serving = 1;
    } else {
        serve = [backend = std::make_shared<TcpBackend>(std::move(socket), *mode)](
                    int fd, auto& counters) { backend->serve(fd, counters); };
    }
    const BackendCounters total = serveUntilStopped(serve, serving, stopSignals, lifetime);
    return result.add("connections", total.connections)
        .add("bytes_in", total.bytesIn)
        .add("bytes_out", total.bytesOut)
        .print(true);
}

}  // namespace tarnwick::bench
