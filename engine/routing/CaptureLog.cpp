#include "engine/routing/CaptureLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "config/ConfigLocation.h"
#include "base/UniqueFd.h"
#include "base/WriteAll.h"

namespace tarnwick {

namespace {

constexpr std::size_t HEX_ENTRIES_PER_LINE = 16;

// Appends a formatted text piece and the zero byte that follows every text piece.
void AppendPiece(std::string& out, const std::string& text) {
    out += text;
    out.push_back('\0');
}

std::string Header(const char* format, const ForwardingPort& port, const std::string& stamp) {
    char line[512];
    std::snprintf(line, sizeof line, format, port.protocolLabel(),
                  static_cast<unsigned>(port.listenPort), stamp.c_str());
    return line;
}

}  // namespace

CaptureLog::CaptureLog(std::string directory)
    : path_(JoinPath(directory, CAPTURE_LOG_FILE_NAME)) {}

CaptureLog::~CaptureLog() = default;

std::string CaptureLog::FormatDump(const ForwardingPort& port, const unsigned char* data,
                                   std::size_t length, const std::string& hexStamp,
                                   const std::string& textStamp) {
    std::string out;
    out.reserve(256 + 5 * length);
    AppendPiece(out,
                Header("---------HEX Dump for [%s] listen port [%u] at [%s]---------\r\n", port,
                       hexStamp));
    for (std::size_t i = 0; i < length; ++i) {
        char entry[8];
        std::snprintf(entry, sizeof entry, "%02X ", data[i]);
        AppendPiece(out, entry);
        if ((i + 1) % HEX_ENTRIES_PER_LINE == 0) {
            AppendPiece(out, "\r\n");
        }
    }
    AppendPiece(out, Header("\r\n\r\n---------TEXT Dump for [%s] listen port [%u] at "
                            "[%s]---------\r\n",
                            port, textStamp));
    out.append(reinterpret_cast<const char*>(data), length);
    AppendPiece(out,
                "\r\n---------DUMP COMPLETE---------\r\n\r\n_______________________________\r\n\r\n");
    return out;
}

// The log, opened for appending with this writer's lock held; -1 when there is none to
// write to. A rotation by another writer between our open and our lock leaves us holding
// the renamed file: then we open again, so that a dump never lands in Brisel.log.1.
int CaptureLog::openLocked() const {
    constexpr int ATTEMPTS = 3;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        // No O_NOFOLLOW, no log: a link would send clients' bytes to any file it names.
        // O_NONBLOCK keeps a FIFO in the log's place from holding us in open().
        UniqueFd log(::open(path_.c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK |
                                O_NOCTTY,
                            0600));
        struct stat opened {};
        if (!log.valid() || ::fstat(log.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
            opened.st_uid != ::geteuid() || opened.st_nlink != 1) {
            return -1;
        }
        // Another writer holds the log: skip this dump whole rather than interleave.
        if (::flock(log.get(), LOCK_EX | LOCK_NB) != 0) {
            return -1;
        }
        struct stat named {};
        if (::lstat(path_.c_str(), &named) != 0 || named.st_dev != opened.st_dev ||
            named.st_ino != opened.st_ino) {
            continue;
        }
        if (opened.st_size >= MAX_LOG_SIZE) {
            // Left full by a rotation that failed: rotate now, or write nothing.
            if (::rename(path_.c_str(), rotatedPath().c_str()) != 0) {
                return -1;
            }
            continue;
        }
        // First packets can carry passwords and cookies: the log is its owner's only.
        if ((opened.st_mode & 077) != 0 && ::fchmod(log.get(), 0600) != 0) {
            return -1;
        }
        return log.release();
    }
    return -1;
}

void CaptureLog::WriteCaptureLog(const ForwardingPort& port, const unsigned char* data,
                                 std::size_t length) {
    UniqueFd log(openLocked());
    if (!log.valid()) {
        return;
    }
    const std::string hexStamp = GetTimeStamp();
    const std::string textStamp = GetTimeStamp();
    const std::string dump = FormatDump(port, data, length, hexStamp, textStamp);
    struct stat before {};
    bool sized = ::fstat(log.get(), &before) == 0;
    if (WriteAll(log.get(), dump.data(), dump.size()) != 0) {
        // A full disk: take back the part of this dump that was written, so the log
        // never ends in half a dump.
        if (sized && ::ftruncate(log.get(), before.st_size) != 0) {
            // Nothing more can be done; the failure goes no further than this dump.
        }
        return;
    }
    // Still under our lock, so no other writer appends to the file being renamed.
    if (sized && before.st_size + static_cast<long long>(dump.size()) > MAX_LOG_SIZE &&
        ::rename(path_.c_str(), rotatedPath().c_str()) != 0) {
        // The next writer finds the log full and tries again.
    }
}

std::string GetTimeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    // Formatted by hand rather than with strftime's %p, which follows the locale (empty
    // in some) once a GUI toolkit has set it.
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d:%02d %s", local.tm_mon + 1,
                  local.tm_mday, local.tm_year % 100, hour12, local.tm_min, local.tm_sec,
                  local.tm_hour < 12 ? "AM" : "PM");
    return stamp;
}

}  // namespace tarnwick
