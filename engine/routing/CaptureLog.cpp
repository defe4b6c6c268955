#include "routing/CaptureLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "ConfigLocation.h"

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

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
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

void CaptureLog::WriteCaptureLog(const ForwardingPort& port, const unsigned char* data,
                                 std::size_t length) {
    // First packets can carry passwords and cookies: a new log is readable by its owner only.
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    // Another writer holds the log: skip this dump whole rather than interleave.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    const std::string hexStamp = GetTimeStamp();
    const std::string textStamp = GetTimeStamp();
    const std::string dump = FormatDump(port, data, length, hexStamp, textStamp);
    struct stat before {};
    bool sized = ::fstat(fd, &before) == 0;
    if (!WriteAll(fd, dump) && sized) {
        // A full disk: take back the part of this dump that was written, so the log
        // never ends in half a dump.
        if (::ftruncate(fd, before.st_size) != 0) {
            // Nothing more can be done; the failure goes no further than this dump.
        }
    }
    ::close(fd);
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
