#include "config/ConfigFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <string_view>

#include "config/ConfigLocation.h"
#include "base/UniqueFd.h"
#include "base/WriteAll.h"

namespace tarnwick {

namespace {

constexpr int MAX_BAD_COPIES = 1000;
constexpr int MAX_LINK_DEPTH = 40;
constexpr std::size_t TEMPORARY_SUFFIX_LENGTH = 6;  // "Brisel.cfg.XXXXXX"
constexpr std::time_t STALE_TEMPORARY_SECONDS = 60;
constexpr char TEMPORARY_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::string SystemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Reads the whole file. Returns 0, or the errno of the failure (ENOENT when missing).
// Never blocks in open(): a FIFO is refused like any file that is not a regular one.
int ReadWholeFile(const std::string& path, std::vector<unsigned char>& bytes, int flags = 0) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags));
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

// Makes the open file hold exactly `bytes`, flushed to disk. Returns 0 or an errno.
int Overwrite(int fd, const std::vector<unsigned char>& bytes) {
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        return errno;
    }
    if (int error = WriteAll(fd, bytes.data(), bytes.size())) {
        return error;
    }
    if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd) != 0) {
        return errno;
    }
    return 0;
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that `path` names once the links in its place are followed, so that a save
// replaces the link's target and leaves the link. A missing file (a dangling link's
// target included) is where the new file goes. Returns 0 or an errno.
int FollowLinks(const std::string& path, std::string& target) {
    target = path;
    for (int depth = 0; depth < MAX_LINK_DEPTH; ++depth) {
        struct stat info {};
        if (::lstat(target.c_str(), &info) != 0) {
            return errno == ENOENT ? 0 : errno;
        }
        if (!S_ISLNK(info.st_mode)) {
            return 0;
        }
        std::string text(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        ssize_t length = ::readlink(target.c_str(), text.data(), text.size());
        if (length < 0) {
            return errno;
        }
        if (static_cast<std::size_t>(length) >= text.size()) {
            return ENAMETOOLONG;  // the link changed while it was read
        }
        text.resize(static_cast<std::size_t>(length));
        target = !text.empty() && text[0] == '/' ? text : JoinPath(DirectoryOf(target), text);
    }
    return ELOOP;
}

// The suffixes of our temporary files: six letters and digits, among them at least one
// upper-case letter, one lower-case letter and one digit. A name a person gives a copy
// ("Brisel.cfg.backup", "Brisel.cfg.2024") is not of that form, so it is never taken for
// one of ours and removed.
bool IsTemporarySuffix(std::string_view suffix) {
    auto has = [&](int (*kind)(int)) {
        return std::any_of(suffix.begin(), suffix.end(),
                           [&](char c) { return kind(static_cast<unsigned char>(c)) != 0; });
    };
    return suffix.size() == TEMPORARY_SUFFIX_LENGTH &&
           suffix.find_first_not_of(TEMPORARY_ALPHABET) == std::string_view::npos &&
           has(::isupper) && has(::islower) && has(::isdigit);
}

std::string TemporarySuffix(std::random_device& random) {
    std::uniform_int_distribution<std::size_t> pick(0, sizeof TEMPORARY_ALPHABET - 2);
    std::string suffix;
    while (!IsTemporarySuffix(suffix)) {
        suffix.clear();
        for (std::size_t i = 0; i < TEMPORARY_SUFFIX_LENGTH; ++i) {
            suffix.push_back(TEMPORARY_ALPHABET[pick(random)]);
        }
    }
    return suffix;
}

// A new file beside `target`, named `target` + ".XXXXXX". It is created with mode 0666
// like any new file, so the umask (or a default ACL) decides its mode.
int CreateTemporary(const std::string& target, std::string& name) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + '.' + TemporarySuffix(random);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

bool IsTemporaryName(const std::string& name, const std::string& targetName) {
    if (name.size() != targetName.size() + 1 + TEMPORARY_SUFFIX_LENGTH ||
        name.compare(0, targetName.size(), targetName) != 0 || name[targetName.size()] != '.') {
        return false;
    }
    return IsTemporarySuffix(std::string_view(name).substr(targetName.size() + 1));
}

// Removes temporary files of saves that were killed part-way: named like ours, this
// user's regular files, untouched for a minute. Whether one holds a whole image (killed
// between the write and the rename) or the start of one, it is a save that never
// finished, and the file it was meant to replace holds what counts.
void RemoveStaleTemporaries(const std::string& target) {
    const std::string directory = DirectoryOf(target);
    const std::string targetName = NameOf(target);
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) {
        return;
    }
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (!IsTemporaryName(name, targetName) ||
            ::fstatat(::dirfd(listing), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
            now - info.st_mtime < STALE_TEMPORARY_SECONDS) {
            continue;
        }
        stale.push_back(JoinPath(directory, name));
    }
    ::closedir(listing);
    for (const std::string& path : stale) {
        ::unlink(path.c_str());
    }
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
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) {
        ::fsync(dir.get());  // best effort: the rename is already done
    }
}

// Writes `bytes` to the first free name of "Brisel.cfg.bad", "Brisel.cfg.bad.1", ...
std::string KeepBadCopy(const std::string& path, const std::vector<unsigned char>& bytes,
                        std::string& error) {
    for (int number = 0; number < MAX_BAD_COPIES; ++number) {
        std::string name = path + ".bad" + (number == 0 ? "" : "." + std::to_string(number));
        UniqueFd copy(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!copy.valid() && errno == EEXIST) {
            continue;
        }
        if (!copy.valid()) {
            error = SystemError("cannot keep the unreadable file as " + name, errno);
            return {};
        }
        int failure = WriteAll(copy.get(), bytes.data(), bytes.size());
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

// The way of old: the image written over the file itself. It needs no new file in the
// directory and keeps the file's inode, mode and owner; a write that fails part-way puts
// the previous contents back.
SaveResult SaveInPlace(const std::string& target, const std::vector<unsigned char>& image,
                       const std::vector<unsigned char>& previous, const std::string& why,
                       SaveResult result) {
    UniqueFd file(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    int error = !file.valid() ? errno : ::fstat(file.get(), &info) != 0 ? errno : 0;
    if (error == 0 && !S_ISREG(info.st_mode)) {
        error = EINVAL;
    }
    if (error == 0) {
        error = Overwrite(file.get(), image);
        if (error != 0 && Overwrite(file.get(), previous) != 0) {
            result.error = SystemError("cannot write " + target + " in place (" + why +
                                           "), and its previous contents could not be put back",
                                       error);
            return result;
        }
    }
    if (error != 0) {
        result.error = SystemError("cannot write " + target + " in place (" + why + ")", error);
        return result;
    }
    result.saved = true;
    result.note = "written in place: " + why;
    return result;
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

int ConfigFile::createDirectory() const {
    return MakeDirectories(directory_);
}

SaveResult ConfigFile::save(const PortTable& ports) const {
    SaveResult result;
    const std::vector<unsigned char> image = ConfigImage::Encode(ports);

    if (int error = MakeDirectories(directory_)) {
        result.error = SystemError("cannot create " + directory_, error);
        return result;
    }
    std::string target;
    if (int error = FollowLinks(path(), target)) {
        result.error = SystemError("cannot follow the link " + path(), error);
        return result;
    }

    // Never replace ports that could not be read without keeping them first.
    std::vector<unsigned char> previous;
    int readError = ReadWholeFile(target, previous);
    if (readError != 0 && readError != ENOENT) {
        result.error = SystemError("cannot read " + target + " before replacing it", readError);
        return result;
    }
    const bool replacing = readError == 0;
    struct stat existing {};
    if (replacing && ::stat(target.c_str(), &existing) != 0) {
        result.error = SystemError("cannot read " + target + " before replacing it", errno);
        return result;
    }
    if (replacing && !previous.empty() && !ConfigImage::Decode(previous).report.complete()) {
        result.keptAs = KeepBadCopy(path(), previous, result.error);
        if (result.keptAs.empty()) {
            return result;
        }
    }
    RemoveStaleTemporaries(target);

    std::string temporary;
    UniqueFd file(CreateTemporary(target, temporary));
    if (!file.valid()) {
        const int error = errno;
        if (replacing) {
            return SaveInPlace(target, image, previous,
                               SystemError("no new file can be created beside " + target, error),
                               result);
        }
        result.error = SystemError("cannot create a file beside " + target, error);
        return result;
    }
    int error = 0;
    std::string ownerLost;
    if (replacing) {
        // The new file takes the old one's mode and owner. Where the owner cannot be
        // given (another user's file), writing in place keeps it, if the file may be
        // written; failing that, the file is replaced and the owner is ours.
        struct stat created {};
        bool sameOwner = ::fstat(file.get(), &created) == 0 &&
                         created.st_uid == existing.st_uid && created.st_gid == existing.st_gid;
        if (!sameOwner && ::fchown(file.get(), existing.st_uid, existing.st_gid) != 0) {
            const std::string owner =
                std::to_string(existing.st_uid) + ":" + std::to_string(existing.st_gid);
            SaveResult inPlace = SaveInPlace(
                target, image, previous, "a new file could not be given its owner " + owner, result);
            if (inPlace.saved) {
                file.reset();
                ::unlink(temporary.c_str());
                return inPlace;
            }
            ownerLost = "replaced by a file of this user's: its owner " + owner +
                        " could not be kept";
        }
        error = ::fchmod(file.get(), existing.st_mode & 07777) != 0 ? errno : 0;
    }
    if (error == 0) {
        error = WriteAll(file.get(), image.data(), image.size());
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
    SyncDirectory(DirectoryOf(target));
    result.saved = true;
    result.note = ownerLost;
    return result;
}

}  // namespace tarnwick
