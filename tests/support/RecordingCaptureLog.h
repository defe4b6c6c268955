#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/routing/CaptureLog.h"

namespace tarnwick::testing {

// Keeps the dumps that workers would write to Brisel.log, from whichever thread writes
// them, instead of writing a file.
class RecordingCaptureLog : public CaptureLog {
public:
    RecordingCaptureLog() : CaptureLog("/nonexistent") {}

    void WriteCaptureLog(const ForwardingPort&, const unsigned char* data,
                         std::size_t length) override {
        std::lock_guard lock(mutex_);
        dumps_.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    std::vector<std::string> dumps() const {
        std::lock_guard lock(mutex_);
        return dumps_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> dumps_;
};

}  // namespace tarnwick::testing
