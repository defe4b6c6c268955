// The matchers on any pattern and data, against plain reference matchers written from
// the pattern rules (pairs read with strtol, a naive search), and the hex pattern check
// against the matcher: a pattern said never to match matches nothing, and any other
// matches the data it describes. Then the pattern's lines as the rules of a port: the
// routing table's decision against the reference matchers tried in order.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/routing/Matchers.h"
#include "engine/routing/RoutingTable.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t MAX_DATA = 8192;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c; }

// Unit k of the pattern matches byte b: the reference search of the matchers.
template <class UnitMatches>
int ReferenceSearch(std::size_t m, const Bytes& data, UnitMatches unitMatches) {
    const std::size_t n = data.size();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < m; ++k) {
            if (i + k == n) return 0;
            if (!unitMatches(k, data[i + k])) break;
            if (k == m - 1) return 1;
        }
    }
    return 0;
}

struct HexPair {
    bool any;
    long value;
};

// The pairs of a hex pattern, or false when its length is odd.
bool ReferencePairs(const std::string& pattern, std::vector<HexPair>& pairs) {
    std::string digits;
    for (char c : pattern) {
        if (c != ' ') digits.push_back(Lower(c));
    }
    if (digits.size() % 2 != 0) return false;
    for (std::size_t k = 0; k < digits.size(); k += 2) {
        const std::string pair = digits.substr(k, 2);
        pairs.push_back({pair == "xx", std::strtol(pair.c_str(), nullptr, 16)});
    }
    return true;
}

int ReferenceHex(const std::string& pattern, const Bytes& data) {
    std::vector<HexPair> pairs;
    if (!ReferencePairs(pattern, pairs)) return 0;
    return ReferenceSearch(pairs.size(), data, [&](std::size_t k, unsigned char byte) {
        return pairs[k].any || pairs[k].value == byte;
    });
}

int ReferenceText(const std::string& pattern, const Bytes& data, bool caseSensitive) {
    return ReferenceSearch(pattern.size(), data, [&](std::size_t k, unsigned char byte) {
        const auto unit = static_cast<unsigned char>(caseSensitive ? pattern[k] : Lower(pattern[k]));
        return unit == (caseSensitive ? byte : static_cast<unsigned char>(Lower(static_cast<char>(byte))));
    });
}

void Check(bool holds) {
    if (!holds) std::abort();
}

// Each line of the text a rule: its first byte picks hex, text or case-sensitive text, the
// rest is the pattern. The table must pick the first rule that the reference matches.
void CheckRoutingTable(const std::string& text, const Bytes& data) {
    auto port = std::make_shared<tarnwick::ForwardingPort>();
    int expected = -1;
    for (std::size_t begin = 0; begin <= text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        auto rule = std::make_unique<tarnwick::ForwardingRule>();
        const int kind = line.empty() ? 0 : static_cast<unsigned char>(line[0]) % 3;
        rule->searchType = kind == 0 ? 1 : 0;
        rule->caseSensitive = kind == 2 ? 1 : 0;
        rule->searchData = line.empty() ? line : line.substr(1);
        const int matches = kind == 0 ? ReferenceHex(rule->searchData, data)
                                      : ReferenceText(rule->searchData, data, kind == 2);
        if (expected < 0 && matches == 1) {
            expected = static_cast<int>(port->rules.size());
        }
        port->appendRule(std::move(rule));
    }
    const tarnwick::RoutingTable table(port);
    Check(table.FirstMatch(data.data(), data.size()) == expected);
}

}  // namespace

// Input: two bytes of pattern length (little-endian), the pattern, then the data.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace tarnwick;
    if (size < 2) return 0;
    std::size_t patternLength = std::min<std::size_t>(input[0] | input[1] << 8, size - 2);
    const std::string pattern(reinterpret_cast<const char*>(input + 2), patternLength);
    Bytes data(input + 2 + patternLength, input + std::min(size, 2 + patternLength + MAX_DATA));

    const int hex = MatchHex(pattern, data.data(), data.size());
    Check(hex == ReferenceHex(pattern, data));
    Check(MatchText(pattern, data.data(), data.size()) == ReferenceText(pattern, data, false));
    Check(MatchTextCase(pattern, data.data(), data.size()) == ReferenceText(pattern, data, true));

    CheckRoutingTable(pattern, data);

    const HexPatternCheck check = CheckHexPattern(pattern);
    if (check.neverMatches) {
        Check(hex == 0 && !check.problem.empty());
        return 0;
    }
    std::vector<HexPair> pairs;
    Check(ReferencePairs(pattern, pairs) && !pairs.empty());
    Bytes described;
    for (const HexPair& pair : pairs) {
        described.push_back(static_cast<unsigned char>(pair.any ? 0 : pair.value));
    }
    Check(MatchHex(pattern, described.data(), described.size()) == 1);
    return 0;
}
