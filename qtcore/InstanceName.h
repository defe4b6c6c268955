#pragma once

#include <QString>

namespace tarnwick {

// "tarnwick-<uid>-<16 hex digits of a hash of the directory's absolute path>": the name by
// which instances of one user and one configuration directory find each other in the
// user's private runtime directory.
QString InstanceName(const QString& configDirectory);

}  // namespace tarnwick
