// tarnwick-loadgen idle --target HOST:PORT --connections N --pid PID
// Opens N connections to an echo backend and proves each one is relayed with one small
// round trip, then leaves them idle and reports how much the PSS of process PID (with its
// descendants) grew, per connection. Closes them all on the way out.
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bench/Commands.h"
#include "bench/EchoCheck.h"
#include "bench/Net.h"
#include "bench/ProcessLoad.h"
#include "bench/ProcessMemory.h"
#include "bench/ResultLine.h"

namespace tarnwick::bench {

namespace {

constexpr Millis kConnectTimeout{5000};
constexpr Millis kIoTimeout{5000};
constexpr std::size_t kProbeSize = 16;

}  // namespace

int runIdle(const Options& options) {
    std::string problem;
    const std::optional<ProcessLoad> load = parseProcessLoad(options, problem);
    if (!load) {
        return usageError("idle", problem);
    }
    const sockaddr_in& target = load->target;
    const std::int64_t connections = load->connections;
    const std::int64_t pid = load->pid;

    ResultLine result("idle");
    const auto before = treePss(static_cast<pid_t>(pid));
    if (!before) {
        return result.add("error", "cannot_read_pss_of_" + std::to_string(pid)).print(false);
    }
    std::vector<UniqueFd> open;
    open.reserve(static_cast<std::size_t>(connections));
    EchoCheck echo(kProbeSize);
    for (std::int64_t i = 0; i < connections; ++i) {
        UniqueFd fd = connectTcp(target, kConnectTimeout, kIoTimeout);
        if (!fd.valid()) {
            return result.add("opened", open.size())
                .add("error", "connect:" + errnoText())
                .print(false);
        }
        if (!echo.roundTrip(fd.get(), static_cast<std::uint64_t>(i))) {
            return result.add("opened", open.size())
                .add("error", "echo:" + EchoCheck::failure())
                .print(false);
        }
        open.push_back(std::move(fd));
    }
    const auto after = treePss(static_cast<pid_t>(pid));
    if (!after) {
        return result.add("error", "process_" + std::to_string(pid) + "_gone").print(false);
    }
    const auto grown = static_cast<double>(after->pssKib - before->pssKib);
    return result.add("opened", open.size())
        .add("pss_before_kib", before->pssKib)
        .add("pss_after_kib", after->pssKib)
        .add("processes_before", before->processes)
        .add("processes_after", after->processes)
        .add("kib_per_conn", grown / static_cast<double>(connections), 2)
        .print(true);
}

}  // namespace tarnwick::bench
