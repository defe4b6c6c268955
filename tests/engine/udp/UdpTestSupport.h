#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "engine/routing/CaptureLog.h"
#include "tests/support/RecordingCaptureLog.h"

// Helpers of the UDP relay's tests, in a namespace of their own so that they never collide
// with the other test folders' helpers in the one engine test program.
namespace tarnwick::testing::udp {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds WAIT_LIMIT = 5s;

struct Datagram {
    std::string data;
    int senderPort = 0;
};

// A UDP socket on 127.0.0.1 with a port of its own: a client or a destination of the
// relay. A receive waits for a datagram at most its time-out.
class UdpPeer {
public:
    UdpPeer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = Loopback(0);
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }

    int port() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }

    void sendTo(int port, const std::string& data) const {
        sockaddr_in address = Loopback(port);
        ::sendto(fd_.get(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&address),
                 sizeof address);
    }

    std::optional<Datagram> receive(std::chrono::milliseconds timeout = WAIT_LIMIT) const {
        pollfd entry{fd_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        std::vector<char> buffer(65536);
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t count = ::recvfrom(fd_.get(), buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&sender), &length);
        if (count < 0) {
            return std::nullopt;
        }
        return Datagram{std::string(buffer.data(), static_cast<std::size_t>(count)),
                        ntohs(sender.sin_port)};
    }

    // Nothing is waiting right now.
    bool idle() const { return !receive(0ms).has_value(); }

    static sockaddr_in Loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        return address;
    }

private:
    UniqueFd fd_;
};

}  // namespace tarnwick::testing::udp
