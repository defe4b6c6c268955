#pragma once

#include <string>

namespace tarnwick {

inline constexpr char CONFIG_FILE_NAME[] = "Brisel.cfg";
inline constexpr char CAPTURE_LOG_FILE_NAME[] = "Brisel.log";

// The directory of the running executable, without a trailing '/'; empty when the
// executable's path cannot be read or holds no '/'.
std::string GetModuleDirectory();

// $XDG_CONFIG_HOME/tarnwick, or ~/.config/tarnwick when that variable is unset, empty or
// not an absolute path. Not created here: the first save creates it.
std::string UserConfigDirectory();

// Where Brisel.cfg and Brisel.log live when no directory is given: beside the executable
// when that directory is writable, else the per-user directory, so that an installed
// binary never loses its configuration silently.
std::string DefaultConfigDirectory();

// `directory` + '/' + `name`.
std::string JoinPath(const std::string& directory, const std::string& name);

}  // namespace tarnwick
