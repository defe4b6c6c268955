#include "ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ConfigLocation.h"

namespace tarnwick {

namespace {

constexpr int MAX_BAD_COPIES = 1000;

std::string SystemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

// Reads the whole file. Returns 0, or the errno of the failure (ENOENT when missing).
int ReadWholeFile(const std::string& path, std::vector<unsigned char>& bytes) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return errno;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        return errno;
    }
    if (!S_ISREG(info.st_mode)) {
        return EISDIR;
    }
    bytes.clear();
    unsigned char chunk[4096];
    for (;;) {
        ssize_t count = ::read(file.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return errno;
        }
        if (count == 0) {
            return 0;
        }
        bytes.insert(bytes.end(), chunk, chunk + count);
    }
}

int WriteAll(int fd, const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return errno;
        }
        done += static_cast<std::size_t>(count);
    }
    return 0;
}

// Creates `directory` and any missing parent, private to the user.
int MakeDirectories(const std::string& directory) {
    struct stat info {};
    if (directory.empty() || ::stat(directory.c_str(), &info) == 0) {
        return 0;
    }
    std::size_t slash = directory.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (int error = MakeDirectories(directory.substr(0, slash))) {
            return error;
        }
    }
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        return errno;
    }
    return 0;
}

void SyncDirectory(const std::string& directory) {
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) {
        ::fsync(dir.get());  // best effort: the rename is already done
    }
}

// Writes `bytes` to the first free name of "Brisel.cfg.bad", "Brisel.cfg.bad.1", ...
std::string KeepBadCopy(const std::string& path, const std::vector<unsigned char>& bytes,
                        std::string& error) {
    for (int number = 0; number < MAX_BAD_COPIES; ++number) {
        std::string name = path + ".bad" + (number == 0 ? "" : "." + std::to_string(number));
        FileDescriptor copy(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!copy.valid() && errno == EEXIST) {
            continue;
        }
        if (!copy.valid()) {
            error = SystemError("cannot keep the unreadable file as " + name, errno);
            return {};
        }
        int failure = WriteAll(copy.get(), bytes);
        if (failure == 0 && ::fsync(copy.get()) != 0) {
            failure = errno;
        }
        if (failure == 0 && copy.close() != 0) {
            failure = errno;
        }
        if (failure != 0) {
            ::unlink(name.c_str());
            error = SystemError("cannot keep the unreadable file as " + name, failure);
            return {};
        }
        return name;
    }
    error = "cannot keep the unreadable file: " + path + ".bad.1 to .bad." +
            std::to_string(MAX_BAD_COPIES - 1) + " all exist";
    return {};
}

}  // namespace

ConfigFile::ConfigFile(std::string directory) : directory_(std::move(directory)) {}

std::string ConfigFile::path() const { return JoinPath(directory_, CONFIG_FILE_NAME); }

LoadResult ConfigFile::load(MailboxId ownerWindow) const {
    std::vector<unsigned char> bytes;
    int error = ReadWholeFile(path(), bytes);
    LoadResult result;
    if (error == ENOENT) {
        result.report.outcome = LoadReport::Outcome::Missing;
    } else if (error != 0) {
        result.report.outcome = LoadReport::Outcome::Unreadable;
        result.report.reason = std::strerror(error);
    } else {
        result = ConfigImage::Decode(bytes);
    }
    result.report.path = path();
    for (auto& port : result.ports) {
        port->ownerWindow = ownerWindow;
    }
    return result;
}

SaveResult ConfigFile::save(const PortTable& ports) const {
    SaveResult result;
    const std::vector<unsigned char> image = ConfigImage::Encode(ports);
    const std::string target = path();

    if (int error = MakeDirectories(directory_)) {
        result.error = SystemError("cannot create " + directory_, error);
        return result;
    }

    // Never replace ports that could not be read without keeping them first.
    std::vector<unsigned char> previous;
    int readError = ReadWholeFile(target, previous);
    if (readError != 0 && readError != ENOENT) {
        result.error = SystemError("cannot read " + target + " before replacing it", readError);
        return result;
    }
    mode_t mode = 0644;
    struct stat info {};
    if (readError == 0 && ::stat(target.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
    }
    if (readError == 0 && !previous.empty() && !ConfigImage::Decode(previous).report.complete()) {
        result.keptAs = KeepBadCopy(target, previous, result.error);
        if (result.keptAs.empty()) {
            return result;
        }
    }

    std::string temporary = target + ".XXXXXX";
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.valid()) {
        result.error = SystemError("cannot create a temporary file beside " + target, errno);
        return result;
    }
    int error = ::fchmod(file.get(), mode) != 0 ? errno : 0;
    if (error == 0) {
        error = WriteAll(file.get(), image);
    }
    if (error == 0 && ::fsync(file.get()) != 0) {
        error = errno;
    }
    if (error == 0 && file.close() != 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        result.error = SystemError("cannot write " + target, error);
        return result;
    }
    SyncDirectory(directory_.empty() ? "/" : directory_);
    result.saved = true;
    return result;
}

}  // namespace tarnwick
