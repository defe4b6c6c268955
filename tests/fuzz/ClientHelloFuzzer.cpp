// The ClientHello reader on any data: it never reads past the data (the sanitizers and a
// copy of exactly the input's size see to that), its answer is one of its statuses, a
// complete ClientHello stays complete or wants more when its last byte is taken away, and
// a name it reads is printable and matches a server-name rule of itself.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/routing/ClientHello.h"
#include "engine/routing/TlsRuleSet.h"

namespace {

using Status = tarnwick::ClientHelloScan::Status;

void Check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

// Input: the first byte picks a limit (a multiple of 256 bytes, or the usual one), the
// rest is the data.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace tarnwick;
    if (size < 1) return 0;
    const std::size_t limit = input[0] == 0 ? ClientHelloScan::MAX_HELLO_BYTES : input[0] * 256u;
    const std::vector<unsigned char> data(input + 1, input + size);
    const ClientHelloScan scan(data.data(), data.size(), limit);

    if (scan.status() == Status::NeedMore) {
        Check(scan.wanted() > data.size() && data.size() < limit);
    }
    if (scan.status() != Status::Complete) return 0;
    const std::vector<unsigned char> shorter(data.begin(), data.end() - 1);
    const Status before = ClientHelloScan(shorter.data(), shorter.size(), limit).status();
    Check(before == Status::NeedMore || before == Status::Complete);

    const ClientHello& hello = scan.hello();
    if (!hello.hasServerName) return 0;
    Check(!hello.serverName.empty() && hello.serverName.size() < data.size());
    for (unsigned char byte : hello.serverName) Check(byte > 0x20 && byte < 0x7F);
    if (!hello.serverName.starts_with("*.") && hello.serverName != ".") {
        Check(TlsRuleSet::ServerNameMatches(hello.serverName, hello.serverName));
    }
    return 0;
}
