#include "engine/routing/RoutingTable.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/routing/ChooseDestination.h"

namespace tarnwick {
namespace {

using Bytes = std::vector<unsigned char>;

// Letters of both cases and the bytes next to A-Z and a-z in the ASCII table and above
// 0x7F (which must not fold), zero and 0xFF: few enough that patterns share keys and
// turn up in random data.
constexpr unsigned char ALPHABET[] = {'a', 'b', 'z',  'A',  'B',  'Z',  '@',  '[',
                                      '`', '{', 0xC1, 0xE1, 0xDA, 0x00, 0xFF, 0x01};

// A hex pair, how it is written and the byte it stands for; -1: any byte (xx), -2: none.
struct Pair {
    const char* text;
    int byte;
};
constexpr Pair ODD_PAIRS[] = {{"XX", -1},   {"xX", -1},   {"1g", 0x01},  {"zz", 0x00},
                              {"0x", 0x00}, {"+f", 0x0F}, {"\tf", 0x0F}, {"-1", -2}};

// Rules at random, each with data that its pattern matches, and data to search that holds
// some of those.
class RuleMaker {
public:
    explicit RuleMaker(std::uint32_t seed) : random_(seed) {}

    std::size_t below(std::size_t bound) { return random_() % bound; }

    unsigned char byte() {
        return below(5) == 0 ? static_cast<unsigned char>(random_())
                             : ALPHABET[below(sizeof ALPHABET)];
    }

    void addRule(ForwardingPort& port) {
        auto rule = std::make_unique<ForwardingRule>();
        rule->searchType = below(2) == 0 ? 0 : static_cast<int>(1 + below(3));
        rule->caseSensitive = static_cast<int>(below(2));
        Bytes instance;
        if (rule->isHex()) {
            rule->searchData = hexPattern(instance);
        } else {
            rule->searchData = textPattern(rule->caseSensitive != 0, instance);
        }
        instances_.push_back(std::move(instance));
        port.appendRule(std::move(rule));
    }

    // Random bytes, with matching data of some of the rules made so far in between.
    Bytes data(std::size_t length) {
        Bytes data;
        while (data.size() < length) {
            if (!instances_.empty() && below(8) == 0) {
                const Bytes& instance = instances_[below(instances_.size())];
                data.insert(data.end(), instance.begin(), instance.end());
            } else {
                data.push_back(byte());
            }
        }
        data.resize(length);  // which may cut a match short at the end
        return data;
    }

private:
    // 1 to 12 units of the alphabet's bytes, in either case when the case does not matter.
    std::string textPattern(bool caseSensitive, Bytes& instance) {
        std::string text;
        for (std::size_t k = 0, units = below(13); k < units; ++k) {
            const unsigned char c = byte();
            text.push_back(static_cast<char>(c));
            const bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
            instance.push_back(!caseSensitive && letter && below(2) == 0 ? c ^ 0x20 : c);
        }
        return text;
    }

    // Pairs of the alphabet's bytes, wildcards (leading runs of them too), pairs that
    // strtol reads oddly, blanks anywhere; now and then one digit short.
    std::string hexPattern(Bytes& instance) {
        static const char digits[] = "0123456789abcdefABCDEF";
        std::string text(below(4) == 0 ? below(12) * 2 : 0, 'x');
        instance.assign(text.size() / 2, 0);
        for (std::size_t k = 0, units = below(10); k < units; ++k) {
            Pair pair{nullptr, byte()};
            char written[3] = {digits[pair.byte >> 4], digits[pair.byte & 15], 0};
            if (below(4) == 0) {
                pair = ODD_PAIRS[below(std::size(ODD_PAIRS))];
            }
            text += pair.text != nullptr ? pair.text : written;
            instance.push_back(pair.byte >= 0 ? static_cast<unsigned char>(pair.byte) : byte());
            if (below(5) == 0) {
                text.insert(below(text.size() + 1), " ");
            }
        }
        if (below(10) == 0 && !text.empty()) {
            text.pop_back();
        }
        return text;
    }

    std::mt19937 random_;
    std::vector<Bytes> instances_;
};

// Rule sets of every size up to a few hundred, patterns that share keys and that can never
// match, data of every length up to a few hundred bytes: the table decides as the rules
// tried in order do, on every one.
TEST(RoutingTable, FirstMatchIsTheFirstRuleWhosePatternOccurs) {
    constexpr int SETS = 150, DATA_PER_SET = 40;
    int matched = 0;
    for (int set = 0; set < SETS; ++set) {
        RuleMaker maker(static_cast<std::uint32_t>(set));
        auto port = std::make_shared<ForwardingPort>();
        const std::size_t rules = set % 10 == 9 ? 300 : 1 + maker.below(24);
        for (std::size_t i = 0; i < rules; ++i) {
            maker.addRule(*port);
        }
        const RoutingTable table(port);
        for (int d = 0; d < DATA_PER_SET; ++d) {
            const Bytes data = maker.data(maker.below(d % 4 == 0 ? 8 : 300));
            const int expected = FirstMatchRuleByRule(*port, data.data(), data.size());
            ASSERT_EQ(table.FirstMatch(data.data(), data.size()), expected)
                << "rule set " << set << ", data " << d;
            matched += expected >= 0 ? 1 : 0;
        }
    }
    // The data must reach rules, not only the default, for the comparison to mean much.
    EXPECT_GT(matched, SETS * DATA_PER_SET / 3);
    EXPECT_LT(matched, SETS * DATA_PER_SET);
}

}  // namespace
}  // namespace tarnwick
