// tarnwick-loadgen decide [--rules 10000] [--seconds 2]
// Times the routing decision of a Smart port in process, one decision at a time, on this
// thread: for each rule set (text, hex, mix; --rules each) the table is built once, then
// every kind of first data is decided over and over for its share of --seconds (at least
// MIN_SAMPLES times). Every decision is checked against the rules tried one by one.
//
// Figures: the worst case over rule sets and data kinds of the per-decision p50, p99 and
// maximum in microseconds, with the case that has the worst p99; the same three per case
// (SET_KIND_p50_us ...); and per rule set the heap the table takes and the time to build it.
#include <malloc.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/Clock.h"
#include "bench/Commands.h"
#include "bench/DecideWorkload.h"
#include "bench/ResultLine.h"
#include "bench/Stats.h"
#include "engine/routing/ChooseDestination.h"
#include "engine/routing/RoutingTable.h"

namespace tarnwick::bench {

namespace {

constexpr std::uint32_t SEED = 20261208;
constexpr std::size_t MIN_SAMPLES = 50;
constexpr std::size_t MAX_SAMPLES = 200000;
constexpr std::size_t WARMUP = 5;
constexpr int ATTEMPTS = 20;  // first data tried for a case that must match just the last rule

const char* const RULE_SETS[] = {"text", "hex", "mix"};
constexpr std::size_t DATA_KINDS = 7;

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

struct Case {
    std::string name;
    Bytes data;
    int expected;
};

struct CaseFigures {
    std::string name;
    double p50, p99, max;
    std::size_t samples;
};

struct TableFigures {
    std::string name;
    double buildMs, kib;
};

// The client data kinds, and data that only the last rule matches and that none matches;
// a case of those two that the generator cannot make is left out and counted.
std::vector<Case> Cases(DecideWorkload& workload, const RuleSet& set, int& missing) {
    std::vector<Case> cases;
    for (FirstData& data : workload.clientData()) {
        const int expected = FirstMatchRuleByRule(*set.port, data.bytes.data(), data.bytes.size());
        cases.push_back({set.name + "_" + data.name, std::move(data.bytes), expected});
    }
    const int last = static_cast<int>(set.port->rules.size()) - 1;
    for (const bool intact : {true, false}) {
        bool made = false;
        for (int attempt = 0; attempt < ATTEMPTS && !made && last >= 0; ++attempt) {
            FirstData data = workload.withLastRule(*set.port, intact);
            const int expected =
                FirstMatchRuleByRule(*set.port, data.bytes.data(), data.bytes.size());
            if (expected == (intact ? last : -1)) {
                cases.push_back({set.name + "_" + data.name, std::move(data.bytes), expected});
                made = true;
            }
        }
        missing += made ? 0 : 1;
    }
    return cases;
}

// Decides the case over and over, for `seconds` and at least MIN_SAMPLES times, after
// WARMUP uncounted decisions; counts decisions that differ from the expected one.
Stats TimeDecisions(const RoutingTable& table, const Case& c, double seconds, int& errors) {
    Stats micros;
    const auto deadline = after(seconds);
    for (std::size_t n = 0; n < WARMUP + MAX_SAMPLES; ++n) {
        const auto start = Clock::now();
        const int decided = table.FirstMatch(c.data.data(), c.data.size());
        const auto end = Clock::now();
        errors += decided == c.expected ? 0 : 1;
        if (n >= WARMUP) {
            micros.add(microsBetween(start, end));
        }
        if (micros.count() >= MIN_SAMPLES && end >= deadline) {
            break;
        }
    }
    return micros;
}

// The result line: the worst case first, then each table and each case.
int Report(std::int64_t rules, const std::vector<TableFigures>& tables,
           const std::vector<CaseFigures>& cases, int errors, int missing) {
    const auto worst =
        std::max_element(cases.begin(), cases.end(),
                         [](const CaseFigures& a, const CaseFigures& b) { return a.p99 < b.p99; });
    ResultLine result("decide");
    result.add("rules", rules).add("cases", static_cast<std::uint64_t>(cases.size()));
    std::size_t samples = 0;
    double worstP50 = 0, worstMax = 0;
    for (const CaseFigures& c : cases) {
        samples += c.samples;
        worstP50 = std::max(worstP50, c.p50);
        worstMax = std::max(worstMax, c.max);
    }
    result.add("samples", static_cast<std::uint64_t>(samples))
        .add("errors", errors)
        .add("missing_cases", missing)
        .add("worst", worst == cases.end() ? "-" : worst->name)
        .add("p50_us", worstP50, 2)
        .add("p99_us", worst == cases.end() ? 0.0 : worst->p99, 2)
        .add("max_us", worstMax, 2);
    for (const TableFigures& t : tables) {
        result.add(t.name + "_build_ms", t.buildMs, 1).add(t.name + "_table_kib", t.kib, 1);
    }
    for (const CaseFigures& c : cases) {
        result.add(c.name + "_p50_us", c.p50, 2)
            .add(c.name + "_p99_us", c.p99, 2)
            .add(c.name + "_max_us", c.max, 2);
    }
    return result.print(errors == 0 && missing == 0);
}

}  // namespace

int runDecide(const Options& options) {
    const std::int64_t rules = options.number("rules", 10000);
    const double seconds = options.seconds("seconds", 2.0);
    std::string problem = options.problems();
    if (rules < 1 || rules > 1000000) {
        problem += " needs --rules N (1 to 1000000)";
    }
    if (!problem.empty()) {
        return usageError("decide", problem);
    }

    DecideWorkload workload(SEED);
    const double perCase = seconds / static_cast<double>(std::size(RULE_SETS) * DATA_KINDS);
    std::vector<TableFigures> tables;
    std::vector<CaseFigures> cases;
    int errors = 0, missing = 0;
    for (const char* kind : RULE_SETS) {
        const RuleSet set = workload.ruleSet(kind, static_cast<std::size_t>(rules));
        const std::size_t heapBefore = HeapInUse();
        const auto buildStart = Clock::now();
        const auto table = std::make_unique<const RoutingTable>(set.port);
        tables.push_back({set.name, microsBetween(buildStart, Clock::now()) / 1000.0,
                          static_cast<double>(HeapInUse() - heapBefore) / 1024.0});
        for (const Case& c : Cases(workload, set, missing)) {
            const Stats micros = TimeDecisions(*table, c, perCase, errors);
            cases.push_back({c.name, micros.percentile(50), micros.percentile(99), micros.max(),
                             micros.count()});
        }
    }

    return Report(rules, tables, cases, errors, missing);
}

}  // namespace tarnwick::bench
