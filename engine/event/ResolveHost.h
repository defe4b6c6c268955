#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

namespace tarnwick {

// The addresses to try for `host` and `port`, in the resolver's order: the host itself
// when it is a dotted IPv4 address (short forms such as "127.1" included, as inet_addr
// takes them), else the IPv4 addresses the name resolves to. Empty when the name cannot
// be resolved or the port is outside 0 to 65535. The lookup itself waits for the
// resolver, as a name lookup always has here.
std::vector<sockaddr_storage> ResolveHost(const std::string& host, int port);

}  // namespace tarnwick
