#include "engine/socket/Resolver.h"

#include <atomic>
#include <utility>

#include "engine/socket/ResolverPool.h"

namespace tarnwick {

namespace {
std::atomic<Resolver*> replacement{nullptr};
}

Resolver& Resolver::instance() {
    Resolver* replaced = replacement.load(std::memory_order_acquire);
    return replaced != nullptr ? *replaced : ResolverPool::instance();
}

void Resolver::replaceForTesting(Resolver* resolver) {
    replacement.store(resolver, std::memory_order_release);
}

std::shared_ptr<NameLookup> Resolver::NewLookup(std::string host, int port, ThreadId replyTo,
                                                std::uint32_t message, std::uintptr_t tag) {
    auto lookup = std::make_shared<NameLookup>();
    lookup->host = std::move(host);
    lookup->port = port;
    lookup->replyTo = replyTo;
    lookup->message = message;
    lookup->tag = tag;
    return lookup;
}

}  // namespace tarnwick
