#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Ids.h"
#include "engine/socket/SocketAddress.h"

namespace tarnwick {

// One host name lookup, shared by the resolver that does it and the worker that asked.
// The resolver fills `addresses` and then posts the answer; the worker reads them once the
// answer has come, and drops the lookup when it no longer wants it.
struct NameLookup {
    std::string host;
    int port = 0;
    ThreadId replyTo = 0;
    std::uint32_t message = 0;
    std::uintptr_t tag = 0;

    std::vector<SocketAddress> addresses;  // every address of both families, in order
    std::string
        failure;  // with no addresses: why, as getaddrinfo said ("Name or service not known")
    std::atomic<bool> abandoned{false};  // the worker has gone or asked something else
};

// Looks host names up off the event loops, so that no loop ever waits for a name server:
// the answer comes back to the asking worker as a message. Literal addresses need no
// lookup (SocketAddress::ResolveLiteral). The process has one resolver, a small pool of
// threads that each run getaddrinfo; tests may put another in its place.
class Resolver {
public:
    virtual ~Resolver() = default;

    static Resolver& instance();
    // Test hook: lookups go to `resolver` from now on (null: back to the pool). The
    // resolver must outlive every lookup it was given.
    static void replaceForTesting(Resolver* resolver);

    // Starts looking `host` up, each address with `port`. When done, posts `message` with
    // wParam `tag` to `replyTo`, which then reads the lookup's addresses (none when the name
    // has none). A lookup abandoned before its turn is not done at all.
    virtual std::shared_ptr<NameLookup> lookUp(std::string host, int port, ThreadId replyTo,
                                               std::uint32_t message, std::uintptr_t tag) = 0;

protected:
    static std::shared_ptr<NameLookup> NewLookup(std::string host, int port, ThreadId replyTo,
                                                 std::uint32_t message, std::uintptr_t tag);
};

}  // namespace tarnwick
