// Proportional set size (PSS) of a process and every process descended from it, read from
// /proc/PID/smaps_rollup. Forwarders that fork a child per connection are measured whole.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace tarnwick::bench {

struct TreeMemory {
    std::int64_t pssKib = 0;
    std::int64_t processes = 0;
};

// nullopt when the root process cannot be read.
std::optional<TreeMemory> treePss(pid_t root);

}  // namespace tarnwick::bench
