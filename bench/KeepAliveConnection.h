// One connection of the keep-alive load: a non-blocking socket to an echo backend with one
// request in flight at a time. A request is a message that names its connection and its
// number (EchoCheck's pattern); it is answered when exactly that message has come back,
// byte for byte. Anything else that arrives fails the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "bench/Clock.h"
#include "bench/EchoCheck.h"

namespace tarnwick::bench {

class KeepAliveConnection {
public:
    enum class Step { Waiting, Answered, Failed };

    // fd must be connected and non-blocking; id keeps the messages of connections apart.
    KeepAliveConnection(UniqueFd fd, std::uint64_t id, std::size_t size);

    int fd() const { return fd_.get(); }
    bool open() const { return fd_.valid(); }
    bool inFlight() const { return inFlight_; }
    // True while part of the request is still to be sent (the socket did not take it all).
    bool wantsWrite() const { return inFlight_ && written_ < echo_.message().size(); }
    Clock::time_point sentAt() const { return sentAt_; }
    // Why the connection failed, once it has.
    const std::string& failure() const { return failure_; }

    // Prepares the next request, sent from `now` on, and sends what the socket takes.
    Step start(Clock::time_point now);
    Step onWritable();
    // Takes what has arrived; Answered once the whole echo is in and matches.
    Step onReadable();

    // Records why the connection failed and closes it.
    Step fail(const std::string& why);

private:
    Step sendMore();

    UniqueFd fd_;
    std::uint64_t firstRound_;
    std::uint64_t round_ = 0;
    EchoCheck echo_;
    std::vector<char> received_;
    std::size_t written_ = 0;
    std::size_t read_ = 0;
    bool inFlight_ = false;
    Clock::time_point sentAt_;
    std::string failure_;
};

}  // namespace tarnwick::bench
