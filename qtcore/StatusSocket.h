#pragma once

#include <QString>
#include <sys/types.h>

#include <optional>
#include <string>

namespace tarnwick {

// Where the instance serving one configuration directory answers `tarnwick --status`,
// and whom each end believes. Nobody but the user (or the directory's owner) can make a
// socket there:
//   - "tarnwick.sock" in the configuration directory, when that path fits a local
//     socket and no one but the directory's owner can add entries to it (no group or
//     other write permission). A system service and its administrator both find it
//     there.
//   - else InstanceName() + ".sock" in the user's private runtime directory
//     (PrivateRuntimeDirectory).
// Both ends decide alike from the same directory.
struct StatusSocket {
    QString path;            // empty when there is no safe place; then `error` says why
    QString error;
    uid_t trustedOwner = 0;  // a server running as this user is believed, besides oneself

    static StatusSocket Locate(const QString& configDirectory);
};

// $XDG_RUNTIME_DIR, else "tarnwick/run" in $XDG_CACHE_HOME (default ~/.cache), created
// with mode 0700 when missing; either is checked with PrivateDirectoryProblem first.
// Nullopt, with the reason in `error`, when neither is there or safe. Never a name in the
// shared temporary directory, which another user could take first.
std::optional<std::string> PrivateRuntimeDirectory(std::string& error);

// Why `path` is no directory private to the user `owner`, or "" when it is one: a real
// directory (not a link), owned by `owner`, with no permission for group or others.
std::string PrivateDirectoryProblem(const std::string& path, uid_t owner);

// The user on the other end of a connected local socket; nullopt when it cannot be told.
std::optional<uid_t> PeerUser(int socketDescriptor);

// A client believes a status server running as itself or as `trustedOwner` (the owner of
// the directory that holds the socket, who could have made any socket there anyway).
bool BelievesServer(std::optional<uid_t> peer, uid_t self, uid_t trustedOwner);

// A server answers clients running as itself, and the superuser.
bool AnswersClient(std::optional<uid_t> peer, uid_t self);

}  // namespace tarnwick
