// Rule sets and first data for timing routing decisions in process: many distinct rules
// of one kind or mixed, and first data as clients send it. The same on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "config/ForwardingPort.h"

namespace tarnwick::bench {

using Bytes = std::vector<unsigned char>;

struct RuleSet {
    std::string name;
    std::shared_ptr<const ForwardingPort> port;
};

struct FirstData {
    std::string name;
    Bytes bytes;
};

class DecideWorkload {
public:
    explicit DecideWorkload(std::uint32_t seed) : random_(seed) {}

    // "text": distinct text rules of 4 to 30 bytes, host names and tokens, each either
    // case-sensitive or not. "hex": distinct hex rules with XX wildcards, some led by many
    // of them. "mix": the two alternating, text first.
    RuleSet ruleSet(const std::string& kind, std::size_t rules);

    // An HTTP request of about 400 bytes, TLS ClientHellos of about 600 and 2,000, 4096
    // random bytes, 4096 zero bytes.
    std::vector<FirstData> clientData();

    // First data that holds the last rule's pattern (the wildcards filled at random), and
    // the same with one literal byte of it changed. Whether another rule matches too is
    // for the caller to check.
    FirstData withLastRule(const ForwardingPort& port, bool intact);

private:
    std::string textRule(bool hostName);
    std::string hexRule();
    std::string hostName();
    std::string token(std::size_t length);
    Bytes randomBytes(std::size_t count);
    Bytes httpRequest(const std::string& host, std::size_t size);
    Bytes clientHello(const std::string& host, std::size_t size);
    std::size_t below(std::size_t bound) { return random_() % bound; }

    std::mt19937 random_;
    std::set<std::string> used_;  // every pattern made, so that each rule set's are distinct
};

}  // namespace tarnwick::bench
