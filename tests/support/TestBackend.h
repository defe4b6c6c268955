#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"

namespace tarnwick::testing {

// A destination server on 127.0.0.1 (or the loopback address given) at a port the system
// chose (or the port given; port() is 0 when it cannot have it), serving each connection
// on a thread of its own until the backend is destroyed. Every reply starts with the
// backend's tag, so a client can tell which destination it reached.
class TestBackend {
public:
    enum class Mode {
        Echo,                // tag at once, then every byte back; FIN after the peer's FIN
        AnswerAfterEof,      // reads to the peer's FIN, then sends tag + `answer` and closes
        SendAndClose,        // tag + `answer` at once, then closes without reading
        BlockingEcho,        // as Echo, but reads nothing more while its echo waits to be sent;
                             // keeps only a digest of what it received
        NeverReads,          // tag, then `answer` over and over until the connection fails
        AnswerAndHalfClose,  // tag + `answer` and a FIN at once, then reads to the peer's FIN
        ResetAfterAnswer,    // tag + `answer` at once, then closes with a reset
    };
    // How a connection ended, as the backend saw it.
    enum class End { Open, Closed, Reset };
    // FNV-1a, 64 bits: a digest of a stream that can be taken piece by piece.
    static constexpr std::uint64_t DIGEST_START = 14695981039346656037ull;
    static std::uint64_t Digest(std::uint64_t digest, const char* data, std::size_t length);

    explicit TestBackend(std::string tag, Mode mode = Mode::Echo, std::string answer = {},
                         const char* ip = "127.0.0.1", int port = 0);
    ~TestBackend();  // ends every connection and joins every thread
    TestBackend(const TestBackend&) = delete;
    TestBackend& operator=(const TestBackend&) = delete;

    int port() const { return port_; }
    const std::string& tag() const { return tag_; }

    std::size_t connectionCount() const;
    bool waitForConnections(std::size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // What connection `index` (in order of acceptance) has received so far.
    std::string received(std::size_t index) const;
    bool waitForReceived(std::size_t index, std::size_t bytes,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Digest and count of everything connection `index` received, in every mode.
    std::uint64_t receivedDigest(std::size_t index) const;
    std::size_t receivedCount(std::size_t index) const;
    // Waits until connection `index` has ended and says how; End::Open after the time-out.
    End waitForEnd(std::size_t index,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    struct Connection {
        UniqueFd fd;
        std::string received;  // guarded by the backend's mutex, as are the next three
        std::uint64_t digest = DIGEST_START;
        std::size_t count = 0;
        End end = End::Open;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void serve(Connection& connection);
    void record(Connection& connection, const char* data, std::size_t length);
    void update(const std::function<void()>& change);
    bool sendAll(int fd, const std::string& data);
    void reapFinished();

    std::string tag_;
    Mode mode_;
    std::string answer_;
    UniqueFd listener_;
    UniqueFd stop_;  // eventfd: readable once the backend is being destroyed
    int port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
    std::thread acceptor_;
};

}  // namespace tarnwick::testing
