#include "bench/ProcessMemory.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::bench {

namespace {

std::optional<std::int64_t> pssOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Pss:", 0) == 0) {
            return std::strtoll(line.c_str() + 4, nullptr, 10);
        }
    }
    return std::nullopt;
}

// The parent field of /proc/PID/stat, which follows the command name in parentheses.
std::optional<pid_t> parentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    if (!(fields >> state >> parent)) {
        return std::nullopt;
    }
    return parent;
}

std::multimap<pid_t, pid_t> childrenByParent() {
    std::multimap<pid_t, pid_t> children;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return children;
    }
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        if (const auto parent = parentOf(static_cast<pid_t>(pid))) {
            children.emplace(*parent, static_cast<pid_t>(pid));
        }
    }
    ::closedir(proc);
    return children;
}

}  // namespace

std::optional<TreeMemory> treePss(pid_t root) {
    const auto rootPss = pssOf(root);
    if (!rootPss) {
        return std::nullopt;
    }
    TreeMemory total{*rootPss, 1};
    const auto children = childrenByParent();
    std::vector<pid_t> pending{root};
    while (!pending.empty()) {
        const pid_t parent = pending.back();
        pending.pop_back();
        const auto [first, last] = children.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            pending.push_back(it->second);
            // A child that ended meanwhile holds no memory any more.
            if (const auto pss = pssOf(it->second)) {
                total.pssKib += *pss;
                ++total.processes;
            }
        }
    }
    return total;
}

}  // namespace tarnwick::bench
