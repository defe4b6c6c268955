#pragma once

#include <QString>

#include <chrono>
#include <ostream>

namespace tarnwick {

// `tarnwick --status`: asks the instance serving `configDirectory` (the window or headless)
// for its status and prints it as text, or with `json` as one indented JSON document. The
// exit code: 0, or 1 when no instance runs for that directory or it does not answer in
// `timeout` (the reason on `err`).
int RunStatusCommand(const QString& configDirectory, bool json, std::ostream& out,
                     std::ostream& err,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace tarnwick
