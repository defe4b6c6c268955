#pragma once

#include <sys/types.h>

#include <string>

#include "base/UniqueFd.h"

namespace tarnwick {

// One running instance per configuration directory, window or headless. The instance
// holds an exclusive advisory lock (flock) on "tarnwick.lock" in the directory for its
// whole life, and writes "<pid> <mode>" into it, so that a later start can say who holds
// the directory. The lock goes with the process, however it ends; the file stays. When
// the directory cannot hold the file (read-only), the lock file is InstanceName() +
// ".lock" in the user's private runtime directory instead.
class InstanceLock {
public:
    enum class Outcome { Taken, Held, Failed };

    explicit InstanceLock(std::string configDirectory);

    // Takes the lock for an instance of `mode` ("window", "headless"), creating the
    // directory (private to the user) when missing. Held: another process has it, see
    // holderPid() and holderMode(). Failed: see error().
    Outcome take(const std::string& mode);

    pid_t holderPid() const { return holderPid_; }      // 0 when it could not be read
    const std::string& holderMode() const { return holderMode_; }  // "" likewise
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    const std::string& directory() const { return directory_; }

    // "process 1234 (headless)", or "another process" when the holder was not yet written.
    std::string describeHolder() const;

private:
    int open();
    void readHolder();

    std::string directory_;
    std::string path_;
    UniqueFd fd_;
    pid_t holderPid_ = 0;
    std::string holderMode_;
    std::string error_;
};

}  // namespace tarnwick
