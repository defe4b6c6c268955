#include "config/ConfigLocation.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tarnwick {

std::string GetModuleDirectory() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            std::string path(buffer.data(), static_cast<std::size_t>(length));
            std::size_t slash = path.rfind('/');
            return slash == std::string::npos ? std::string() : path.substr(0, slash);
        }
        buffer.resize(buffer.size() * 2);  // the path was cut: read it again, whole
    }
}

static std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : std::string();
}

std::string UserConfigDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return JoinPath(xdg, "tarnwick");
    }
    return JoinPath(JoinPath(HomeDirectory(), ".config"), "tarnwick");
}

std::string DefaultConfigDirectory() {
    std::string moduleDirectory = GetModuleDirectory();
    if (!moduleDirectory.empty() && ::access(moduleDirectory.c_str(), W_OK) == 0) {
        return moduleDirectory;
    }
    return UserConfigDirectory();
}

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') {
        return directory + name;
    }
    return directory + '/' + name;
}

}  // namespace tarnwick
