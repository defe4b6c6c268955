// tarnwick-loadgen throughput --target HOST:PORT --bytes N [--chunk BYTES]
// One connection to a sink: the header "N\n", then N bytes, then the sink's
// "received=N\n". The time runs from the first byte sent to that answer, so the figure
// counts only bytes that reached the sink.
#include <algorithm>
#include <string>
#include <vector>

#include "bench/Clock.h"
#include "bench/Commands.h"
#include "bench/Net.h"
#include "bench/ResultLine.h"

namespace tarnwick::bench {

namespace {

constexpr Millis kConnectTimeout{5000};
// A stall this long on one send or receive fails the run.
constexpr Millis kIoTimeout{10000};
constexpr std::int64_t kDefaultChunk = 256 * 1024;
constexpr std::size_t kMaxAnswer = 64;

std::vector<char> patternOf(std::size_t size) {
    std::vector<char> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>('a' + i % 26);
    }
    return data;
}

// The sink's answer line, without its newline; empty when none arrived.
std::string readAnswer(int fd) {
    std::string answer;
    char c = 0;
    while (answer.size() < kMaxAnswer && recvExact(fd, &c, 1) && c != '\n') {
        answer += c;
    }
    return c == '\n' ? answer : std::string();
}

}  // namespace

int runThroughput(const Options& options) {
    const auto target = parseEndpoint(options.text("target"));
    const std::int64_t bytes = options.number("bytes", -1);
    const std::int64_t chunk = options.number("chunk", kDefaultChunk);
    std::string problem = options.problems();
    if (!target || bytes < 0 || chunk < 1) {
        problem += " needs --target HOST:PORT --bytes N";
    }
    if (!problem.empty()) {
        return usageError("throughput", problem);
    }

    ResultLine result("throughput");
    result.add("bytes", bytes);
    UniqueFd fd = connectTcp(*target, kConnectTimeout, kIoTimeout);
    if (!fd.valid()) {
        return result.add("error", "connect:" + errnoText()).print(false);
    }
    const std::vector<char> data = patternOf(static_cast<std::size_t>(chunk));
    const std::string header = std::to_string(bytes) + "\n";

    const auto start = Clock::now();
    bool sent = sendAll(fd.get(), header.data(), header.size());
    for (std::int64_t left = bytes; sent && left > 0;) {
        const auto piece = static_cast<std::size_t>(std::min(left, chunk));
        sent = sendAll(fd.get(), data.data(), piece);
        left -= static_cast<std::int64_t>(piece);
    }
    if (!sent) {
        return result.add("error", "send:" + errnoText()).print(false);
    }
    const std::string answer = readAnswer(fd.get());
    const double seconds = secondsSince(start);

    const std::string expected = "received=" + std::to_string(bytes);
    const std::string count = answer.rfind("received=", 0) == 0 ? answer.substr(9) : "none";
    result.add("received", count).add("seconds", seconds, 4);
    if (answer.empty()) {
        return result.add("error", "no_answer:" + errnoText()).print(false);
    }
    if (answer != expected) {
        return result.add("error", "sink_count_differs").print(false);
    }
    return result.add("mb_per_s", static_cast<double>(bytes) / seconds / 1e6, 1).print(true);
}

}  // namespace tarnwick::bench
