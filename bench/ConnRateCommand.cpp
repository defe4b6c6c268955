// tarnwick-loadgen connrate --target HOST:PORT --seconds S [--clients 8] [--size 64]
//                           [--marker HEX --marker-offset N --expect-tag TEXT]
//                           [--tls-name NAME --expect-tag TEXT]
// Each client thread repeats until S seconds have passed: connect, one echo round trip,
// close. Counts completed connections and failures of any step.
//
// With --marker, the first (and only) message carries the marker bytes at the offset, for a
// forwarder that routes by the first data, and the target is a tag backend: the reply must
// be the tag, then the echo. A reply that starts with another text of the tag's length
// came from the wrong backend; it counts as an error and as a wrong route.
// With --tls-name, the first message is a TLS ClientHello of a browser's size (a 1,200-byte
// key share before the server name NAME), for a forwarder that routes by server name.
#include <atomic>
#include <charconv>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/Clock.h"
#include "bench/Commands.h"
#include "bench/EchoCheck.h"
#include "bench/Net.h"
#include "bench/ResultLine.h"

namespace tarnwick::bench {

namespace {

constexpr Millis kConnectTimeout{5000};
constexpr Millis kIoTimeout{5000};
constexpr std::int64_t kMaxClients = 256;

// What a routed first message carries and which backend must answer it.
struct Route {
    std::string marker;
    std::size_t offset = 0;
    std::string tag;
};

struct Tally {
    std::atomic<std::uint64_t> completed{0};
    std::atomic<std::uint64_t> errors{0};
    std::atomic<std::uint64_t> wrongRoutes{0};
    std::mutex firstErrorMutex;
    std::string firstError;

    void fail(const std::string& what) {
        if (errors.fetch_add(1) == 0) {
            std::lock_guard lock(firstErrorMutex);
            firstError = what;
        }
    }
};

// "f1 e2 03" or "f1e203" as bytes; nothing on a malformed or empty text.
std::optional<std::string> parseHex(const std::string& text) {
    std::string digits;
    for (const char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    if (digits.empty() || digits.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(digits.data() + i, digits.data() + i + 2, value, 16);
        if (error != std::errc() || end != digits.data() + i + 2) {
            return std::nullopt;
        }
        bytes += static_cast<char>(value);
    }
    return bytes;
}

void put16(std::string& out, std::size_t value) {
    out += static_cast<char>(value >> 8 & 0xFF);
    out += static_cast<char>(value & 0xFF);
}

void putExtension(std::string& out, std::size_t type, const std::string& body) {
    put16(out, type);
    put16(out, body.size());
    out += body;
}

// One handshake record holding a ClientHello: a key share, the server name, ALPN h2.
std::string clientHello(const std::string& name) {
    std::string extensions;
    std::string share;
    put16(share, 1202);
    put16(share, 0x11EC);  // the hybrid post-quantum group
    put16(share, 1198);
    share.append(1198, '\x5A');
    putExtension(extensions, 51, share);
    std::string names(1, '\0');
    put16(names, name.size());
    names += name;
    std::string serverName;
    put16(serverName, names.size());
    putExtension(extensions, 0, serverName + names);
    putExtension(extensions, 16, std::string("\x00\x03\x02h2", 5));
    std::string body("\x03\x03", 2);
    body.append(32, '\x11');                          // random
    body += std::string("\x00\x00\x02\x13\x01\x01\x00", 7);  // session id, suite, compression
    put16(body, extensions.size());
    body += extensions;
    std::string message(1, '\x01');
    message += static_cast<char>(body.size() >> 16);
    put16(message, body.size() & 0xFFFF);
    message += body;
    std::string record("\x16\x03\x01", 3);
    put16(record, message.size());
    return record + message;
}

// One routed round trip: the message with the marker, then the tag and the echo back.
bool routedRoundTrip(int fd, std::uint64_t round, const Route& route, EchoCheck& echo,
                     Tally& tally) {
    echo.prepare(round);
    echo.overwrite(route.offset, route.marker);
    std::string tag(route.tag.size(), '\0');
    if (!echo.send(fd) || !recvExact(fd, tag.data(), tag.size())) {
        tally.fail("routed:" + errnoText());
        return false;
    }
    if (tag != route.tag) {
        ++tally.wrongRoutes;
        tally.fail("wrong_route:" + tag);
        return false;
    }
    if (!echo.receive(fd)) {
        tally.fail("echo:" + EchoCheck::failure());
        return false;
    }
    return true;
}

void client(const sockaddr_in& target, std::size_t size, const Route& route, Clock::time_point end,
            int id, Tally& tally) {
    EchoCheck echo(size);
    for (std::uint64_t round = static_cast<std::uint64_t>(id) << 40; Clock::now() < end; ++round) {
        UniqueFd fd = connectTcp(target, kConnectTimeout, kIoTimeout);
        if (!fd.valid()) {
            tally.fail("connect:" + errnoText());
        } else if (!route.tag.empty()) {
            if (routedRoundTrip(fd.get(), round, route, echo, tally)) {
                ++tally.completed;
            }
        } else if (!echo.roundTrip(fd.get(), round)) {
            tally.fail("echo:" + EchoCheck::failure());
        } else {
            ++tally.completed;
        }
    }
}

}  // namespace

int runConnRate(const Options& options) {
    const auto target = parseEndpoint(options.text("target"));
    const double seconds = options.seconds("seconds", 0.0);
    const std::int64_t clients = options.number("clients", 8);
    std::int64_t size = options.number("size", 64);
    Route route;
    route.tag = options.text("expect-tag");
    route.offset = static_cast<std::size_t>(options.number("marker-offset", 0));
    const bool routed = options.has("marker") || !route.tag.empty();
    const auto marker = options.has("tls-name")
                            ? std::optional<std::string>(clientHello(options.text("tls-name")))
                            : parseHex(options.text("marker"));
    if (options.has("tls-name") && marker) {
        size = std::max<std::int64_t>(size, static_cast<std::int64_t>(marker->size()));
    }
    std::string problem = options.problems();
    if (!target || seconds <= 0.0) {
        problem += " needs --target HOST:PORT --seconds S";
    }
    if (clients < 1 || clients > kMaxClients || size < 1) {
        problem += " --clients or --size out of range";
    }
    if (routed && (!marker || route.tag.empty() ||
                   route.offset + marker->size() > static_cast<std::size_t>(size))) {
        problem += " --marker HEX and --expect-tag TEXT go together, the marker within --size";
    }
    if (!problem.empty()) {
        return usageError("connrate", problem);
    }
    if (routed) {
        route.marker = *marker;
    }

    Tally tally;
    const auto start = Clock::now();
    const auto end = after(seconds);
    std::vector<std::thread> threads;
    for (int id = 0; id < clients; ++id) {
        threads.emplace_back(client, std::cref(*target), static_cast<std::size_t>(size),
                             std::cref(route), end, id, std::ref(tally));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const double elapsed = secondsSince(start);
    const auto completed = tally.completed.load();
    ResultLine result("connrate");
    result.add("clients", clients)
        .add("connections", completed)
        .add("errors", tally.errors.load())
        .add("wrong_routes", tally.wrongRoutes.load())
        .add("seconds", elapsed, 3)
        .add("conn_per_s", static_cast<double>(completed) / elapsed, 1);
    if (!tally.firstError.empty()) {
        result.add("first_error", tally.firstError);
    }
    return result.print(completed > 0);
}

}  // namespace tarnwick::bench
