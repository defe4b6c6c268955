#include "qtcore/StatusSocket.h"

#include <QDir>
#include <QFile>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qtcore/InstanceName.h"

namespace tarnwick {

namespace {

constexpr const char* SOCKET_NAME = "tarnwick.sock";

bool FitsLocalSocket(const QString& path) {
    return static_cast<std::size_t>(QFile::encodeName(path).size()) <
           sizeof(sockaddr_un::sun_path);
}

// The configuration directory takes the socket when only its owner can add entries.
std::optional<uid_t> SocketDirectoryOwner(const QString& directory) {
    struct stat info {};
    if (::stat(QFile::encodeName(directory).constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return std::nullopt;
    }
    return info.st_uid;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : "";
}

// `path`, made when missing (its parent must exist), and checked.
std::optional<std::string> MakePrivate(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    error = PrivateDirectoryProblem(path, ::geteuid());
    return error.empty() ? std::optional<std::string>(path) : std::nullopt;
}

}  // namespace

std::string PrivateDirectoryProblem(const std::string& path, uid_t owner) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return "cannot use " + path + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return path + " is not a directory";
    }
    if (info.st_uid != owner) {
        return path + " belongs to user " + std::to_string(info.st_uid) + ", not to user " +
               std::to_string(owner);
    }
    if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return path + " has mode " + mode + ", not 0700: other users may reach it";
    }
    return "";
}

std::optional<std::string> PrivateRuntimeDirectory(std::string& error) {
    if (std::string runtime = Environment("XDG_RUNTIME_DIR"); !runtime.empty()) {
        if (std::string problem = PrivateDirectoryProblem(runtime, ::geteuid()); !problem.empty()) {
            error = "$XDG_RUNTIME_DIR: " + problem;
            return std::nullopt;
        }
        return runtime;
    }
    std::string cache = Environment("XDG_CACHE_HOME");
    if (cache.empty()) {
        std::string home = Environment("HOME");
        if (home.empty()) {
            error = "neither $XDG_RUNTIME_DIR nor $HOME is set";
            return std::nullopt;
        }
        cache = home + "/.cache";
    }
    if (::mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + cache + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (::mkdir((cache + "/tarnwick").c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + cache + "/tarnwick: " + std::strerror(errno);
        return std::nullopt;
    }
    return MakePrivate(cache + "/tarnwick/run", error);
}

StatusSocket StatusSocket::Locate(const QString& configDirectory) {
    StatusSocket socket;
    socket.trustedOwner = ::geteuid();
    const QString directory = QDir(configDirectory).absolutePath();
    const QString inDirectory = QDir(directory).absoluteFilePath(SOCKET_NAME);
    if (std::optional<uid_t> owner = SocketDirectoryOwner(directory);
        owner && FitsLocalSocket(inDirectory)) {
        socket.path = inDirectory;
        socket.trustedOwner = *owner;
        return socket;
    }
    std::string error;
    std::optional<std::string> runtime = PrivateRuntimeDirectory(error);
    if (!runtime) {
        socket.error = QString::fromStdString("no private place for the status socket: " + error);
        return socket;
    }
    socket.path = QFile::decodeName(QByteArray::fromStdString(*runtime)) + "/" +
                  InstanceName(configDirectory) + ".sock";
    if (!FitsLocalSocket(socket.path)) {
        socket.error = "the status socket's path is too long: " + socket.path;
        socket.path.clear();
    }
    return socket;
}

std::optional<uid_t> PeerUser(int socketDescriptor) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(socketDescriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        return std::nullopt;
    }
    return peer.uid;
}

bool BelievesServer(std::optional<uid_t> peer, uid_t self, uid_t trustedOwner) {
    return peer && (*peer == self || *peer == trustedOwner);
}

bool AnswersClient(std::optional<uid_t> peer, uid_t self) {
    return peer && (*peer == self || *peer == 0);
}

}  // namespace tarnwick
