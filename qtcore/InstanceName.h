#pragma once

#include <QString>

namespace tarnwick {

// "tarnwick-<uid>-<16 hex digits of a hash of the directory's absolute path>": the name by
// which instances of one user and one configuration directory find each other.
QString InstanceName(const QString& configDirectory);

// Where the instance serving `configDirectory` answers `tarnwick --status`: "tarnwick.sock"
// in that directory, which a system service and its administrator's shell both see (a
// service's /tmp may be private to it). When that path is too long for a local socket,
// InstanceName() + ".sock" in the temporary directory instead; both ends pick alike.
QString StatusSocketPath(const QString& configDirectory);

}  // namespace tarnwick
