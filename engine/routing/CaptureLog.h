#pragma once

#include <cstddef>
#include <string>

#include "config/ForwardingPort.h"

namespace tarnwick {

// Appends first-packet dumps to Brisel.log in one directory. Each dump shows the data as
// hex and raw; writers deny each other with an exclusive lock, and a writer that cannot
// take it at once skips its dump whole, so dumps never interleave. Nothing is reported to
// the caller: a dump that cannot be written is simply missing. Virtual so that tests can
// record dumps instead of writing files.
//
// The log holds what clients send, so it is written only when it is a regular file of
// this user's with no other name: a link, a FIFO, a device or a directory in its place is
// left alone (opening never blocks), and a log left readable by others is made owner-only
// first. When the log passes MAX_LOG_SIZE it becomes Brisel.log.1, replacing an older
// one, and the next dump starts a new log.
class CaptureLog {
public:
    static constexpr long long MAX_LOG_SIZE = 16LL * 1024 * 1024;

    explicit CaptureLog(std::string directory);
    virtual ~CaptureLog();

    const std::string& path() const { return path_; }
    std::string rotatedPath() const { return path_ + ".1"; }

    virtual void WriteCaptureLog(const ForwardingPort& port, const unsigned char* data,
                                 std::size_t length);

    // The bytes of one dump, with the given time stamps for its two headers.
    static std::string FormatDump(const ForwardingPort& port, const unsigned char* data,
                                  std::size_t length, const std::string& hexStamp,
                                  const std::string& textStamp);

private:
    int openLocked() const;

    std::string path_;
};

// The local time as "%m/%d/%y %I:%M:%S %p", e.g. "12/07/26 01:05:09 PM", with "AM"/"PM"
// whatever the process's locale.
std::string GetTimeStamp();

}  // namespace tarnwick
