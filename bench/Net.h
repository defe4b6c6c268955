// Socket helpers for the load generator: loopback endpoints, blocking client I/O with
// time limits, and listening sockets on a port the kernel picks. Failures return false
// or an invalid UniqueFd and leave the cause in errno.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/UniqueFd.h"

namespace tarnwick::bench {

using Millis = std::chrono::milliseconds;

// "HOST:PORT", HOST resolved to its first IPv4 address.
std::optional<sockaddr_in> parseEndpoint(const std::string& hostPort);

// A blocking TCP connection with TCP_NODELAY, whose sends and receives each give up after
// ioTimeout.
UniqueFd connectTcp(const sockaddr_in& target, Millis connectTimeout, Millis ioTimeout);

// A UDP socket connected to target, whose receives give up after ioTimeout.
UniqueFd connectUdp(const sockaddr_in& target, Millis ioTimeout);

// A non-blocking socket bound to 127.0.0.1 on a free port (listening, for TCP).
UniqueFd listenTcp();
UniqueFd bindUdp();
int localPort(int fd);

bool setNonBlocking(int fd);
void setNoDelay(int fd);
void setIoTimeout(int fd, Millis timeout);

// Whole-buffer I/O on a blocking socket. recvExact fails on end of stream as well.
bool sendAll(int fd, const void* data, std::size_t size);
bool recvExact(int fd, void* data, std::size_t size);

// Lifts the soft limit on open descriptors to the hard limit.
void raiseFdLimit();

// Checks the descriptor limit (as raiseFdLimit left it) against what holding N connections
// at once takes, with room for the few descriptors the load generator opens besides.
// Empty when it suffices, else "fd_limit_too_low:limit=L,needed=M" or the getrlimit error.
std::string fdLimitProblem(std::int64_t connections);

std::string errnoText();

}  // namespace tarnwick::bench
