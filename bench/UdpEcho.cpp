#include "bench/UdpEcho.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "bench/Net.h"

namespace tarnwick::bench {

UdpEcho::UdpEcho(UniqueFd socket) : socket_(std::move(socket)) {}

void UdpEcho::serve(int stopFd, BackendCounters& counters) const {
    std::array<pollfd, 2> watched{{{socket_.get(), POLLIN, 0}, {stopFd, POLLIN, 0}}};
    std::array<char, 65536> datagram{};
    for (;;) {
        if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) {
            return;
        }
        if (watched[1].revents != 0) {
            return;
        }
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(socket_.get(), datagram.data(), datagram.size(), 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) {
                break;
            }
            counters.bytesIn += static_cast<std::uint64_t>(got);
            const ssize_t sent =
                ::sendto(socket_.get(), datagram.data(), static_cast<std::size_t>(got), 0,
                         reinterpret_cast<const sockaddr*>(&from), fromLength);
            if (sent > 0) {
                counters.bytesOut += static_cast<std::uint64_t>(sent);
            }
        }
    }
}

}  // namespace tarnwick::bench
