#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "base/Immortal.h"
#include "engine/socket/Resolver.h"

namespace tarnwick {

// The process's resolver: lookups wait in a queue for one of at most MAX_THREADS threads,
// each of which runs getaddrinfo, which may take as long as the name servers do. A thread
// with nothing to do for IDLE_TIMEOUT ends, so a process whose destinations are all
// literal addresses runs none. Internal to engine/socket.
class ResolverPool final : public Resolver {
public:
    static constexpr std::size_t MAX_THREADS = 4;
    static constexpr std::chrono::milliseconds IDLE_TIMEOUT{2000};

    static ResolverPool& instance();

    std::shared_ptr<NameLookup> lookUp(std::string host, int port, ThreadId replyTo,
                                       std::uint32_t message, std::uintptr_t tag) override;

private:
    friend union Immortal<ResolverPool>;  // builds the one instance
    ResolverPool() = default;
    void serve();
    std::shared_ptr<NameLookup> next();

    // The resolver's queue lock, one of the engine's few locks; guards the members below.
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::shared_ptr<NameLookup>> queue_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
};

}  // namespace tarnwick
