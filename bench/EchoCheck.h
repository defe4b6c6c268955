// One round trip through an echo backend: a message that names its round, and the check
// that exactly that message came back.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "bench/Net.h"

namespace tarnwick::bench {

class EchoCheck {
public:
    explicit EchoCheck(std::size_t size) : sent_(size), received_(size) {}

    // Fills the message with a pattern that starts with the round's number.
    void prepare(std::uint64_t round) {
        for (std::size_t i = 0; i < sent_.size(); ++i) {
            sent_[i] = static_cast<char>('A' + (round + i) % 26);
        }
        char label[24];
        const int length =
            std::snprintf(label, sizeof label, "%llu:", static_cast<unsigned long long>(round));
        std::memcpy(sent_.data(), label, std::min(sent_.size(), static_cast<std::size_t>(length)));
    }

    // Puts bytes into the prepared message at offset, as far as they fit; the echo must
    // then carry them too.
    void overwrite(std::size_t offset, const std::string& bytes) {
        if (offset < sent_.size()) {
            const std::size_t count = std::min(bytes.size(), sent_.size() - offset);
            std::memcpy(sent_.data() + offset, bytes.data(), count);
        }
    }

    // The prepared message, for a caller that does its own (non-blocking) I/O.
    std::span<const char> message() const { return sent_; }

    bool send(int fd) const { return sendAll(fd, sent_.data(), sent_.size()); }

    // False with errno set on a failed receive, or with errno 0 on a wrong reply.
    bool receive(int fd) {
        if (!recvExact(fd, received_.data(), received_.size())) {
            return false;
        }
        errno = 0;
        return received_ == sent_;
    }

    bool roundTrip(int fd, std::uint64_t round) {
        prepare(round);
        return send(fd) && receive(fd);
    }

    // What made the last round trip fail, read right after it.
    static std::string failure() { return errno == 0 ? "wrong_echo" : errnoText(); }

    // A connection to target (an echo backend, or a forwarder in front of one) proven
    // relayed by the round trip that names `round`, its connect, sends and receives each
    // bounded by timeout. Invalid when either fails, with failure set to
    // "connect_ROUND:cause" or "echo_ROUND:cause".
    UniqueFd openRelayed(const sockaddr_in& target, std::uint64_t round, Millis timeout,
                         std::string& failure) {
        UniqueFd fd = connectTcp(target, timeout, timeout);
        if (!fd.valid()) {
            failure = "connect_" + std::to_string(round) + ":" + errnoText();
            return fd;
        }
        if (!roundTrip(fd.get(), round)) {
            failure = "echo_" + std::to_string(round) + ":" + EchoCheck::failure();
            return UniqueFd();
        }
        return fd;
    }

private:
    std::vector<char> sent_;
    std::vector<char> received_;
};

}  // namespace tarnwick::bench
