#pragma once

#include <QString>

#include <chrono>
#include <ostream>

namespace tarnwick {

// `tarnwick --status`: asks the instance serving `configDirectory` (the window or headless)
// for its status and prints it as text, or with `json` as one indented JSON document. The
// server is believed only when its peer credentials show it runs as this user or as the
// owner of the socket's directory (StatusSocket); no text of its answer is printed with a
// raw control byte. The exit code: 0, or 1 when no instance runs for that directory, it
// is not believed, or it does not answer in `timeout` (the reason on `err`).
int RunStatusCommand(const QString& configDirectory, bool json, std::ostream& out,
                     std::ostream& err,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace tarnwick
