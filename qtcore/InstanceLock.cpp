#include "qtcore/InstanceLock.h"

#include <QFile>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config/ConfigFile.h"
#include "qtcore/InstanceName.h"
#include "qtcore/StatusSocket.h"

namespace tarnwick {

namespace {

constexpr const char* LOCK_NAME = "tarnwick.lock";
constexpr std::size_t MAX_HOLDER_TEXT = 64;

int OpenLockFile(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

}  // namespace

InstanceLock::InstanceLock(std::string configDirectory)
    : directory_(std::move(configDirectory)), path_(directory_ + "/" + LOCK_NAME) {}

// The lock file in the directory, else in the private runtime directory.
int InstanceLock::open() {
    if (int error = ConfigFile(directory_).createDirectory()) {
        error_ = "cannot create " + directory_ + ": " + std::strerror(error);
    }
    int fd = OpenLockFile(path_);
    if (fd >= 0 || (errno != EACCES && errno != EROFS && errno != ENOENT)) {
        if (fd < 0) {
            error_ = "cannot open " + path_ + ": " + std::strerror(errno);
        }
        return fd;
    }
    std::string problem;
    std::optional<std::string> runtime = PrivateRuntimeDirectory(problem);
    if (!runtime) {
        error_ = "cannot lock " + directory_ + ": " + problem;
        return -1;
    }
    path_ = *runtime + "/" + InstanceName(QFile::decodeName(directory_.c_str())).toStdString() +
            ".lock";
    fd = OpenLockFile(path_);
    if (fd < 0) {
        error_ = "cannot open " + path_ + ": " + std::strerror(errno);
    }
    return fd;
}

InstanceLock::Outcome InstanceLock::take(const std::string& mode) {
    fd_.reset(open());
    if (!fd_.valid()) {
        return Outcome::Failed;
    }
    error_.clear();
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            error_ = "cannot lock " + path_ + ": " + std::strerror(errno);
            return Outcome::Failed;
        }
        readHolder();
        fd_.reset();
        return Outcome::Held;
    }
    const std::string holder = std::to_string(::getpid()) + " " + mode + "\n";
    if (::ftruncate(fd_.get(), 0) != 0 ||
        ::pwrite(fd_.get(), holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size())) {
        // The lock holds all the same; a later start only cannot say who holds it.
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
    }
    return Outcome::Taken;
}

void InstanceLock::readHolder() {
    char text[MAX_HOLDER_TEXT] = {};
    const ssize_t length = ::pread(fd_.get(), text, sizeof text - 1, 0);
    if (length <= 0) {
        return;
    }
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (pid <= 0 || end == text || *end != ' ') {
        return;
    }
    std::string mode(end + 1, text + length);
    mode = mode.substr(0, mode.find('\n'));
    if (mode == "window" || mode == "headless") {
        holderPid_ = static_cast<pid_t>(pid);
        holderMode_ = mode;
    }
}

std::string InstanceLock::describeHolder() const {
    if (holderPid_ == 0) {
        return "another process";
    }
    return "process " + std::to_string(holderPid_) + " (" + holderMode_ + ")";
}

}  // namespace tarnwick
