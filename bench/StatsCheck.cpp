// Checks Stats against figures worked out by hand. Prints each failure; exit status 1 if
// any, so bench/check.sh stops before a wrong percentile reaches a report.
#include <cmath>
#include <cstdio>
#include <initializer_list>

#include "bench/Stats.h"

using tarnwick::bench::Stats;

namespace {

int failures = 0;

void expect(const char* what, double actual, double expected) {
    if (std::fabs(actual - expected) > 1e-9) {
        std::printf("FAIL %s: got %g, expected %g\n", what, actual, expected);
        ++failures;
    }
}

Stats statsOf(std::initializer_list<double> samples) {
    Stats stats;
    for (double sample : samples) {
        stats.add(sample);
    }
    return stats;
}

void checkOneToHundred() {
    Stats stats;
    for (int i = 100; i >= 1; --i) {  // added out of order on purpose
        stats.add(i);
    }
    expect("1..100 p50", stats.percentile(50), 50);
    expect("1..100 p99", stats.percentile(99), 99);
    expect("1..100 p99.9", stats.percentile(99.9), 100);
    expect("1..100 p1", stats.percentile(1), 1);
    expect("1..100 p0", stats.percentile(0), 1);
    expect("1..100 p100", stats.percentile(100), 100);
    expect("1..100 mean", stats.mean(), 50.5);
}

void checkThousand() {
    Stats stats;
    for (int i = 1; i <= 1000; ++i) {
        stats.add(i * 3 % 1000 + 1);  // 1..1000 in a scrambled order
    }
    expect("1..1000 p99", stats.percentile(99), 990);
    expect("1..1000 p99.9", stats.percentile(99.9), 999);
    expect("1..1000 p50", stats.percentile(50), 500);
}

void checkSmallSets() {
    expect("empty p50", Stats().percentile(50), 0);
    expect("empty mean", Stats().mean(), 0);
    expect("single p99", statsOf({7}).percentile(99), 7);
    expect("three p50", statsOf({5, 1, 3}).percentile(50), 3);
    expect("four p50", statsOf({4, 1, 3, 2}).percentile(50), 2);
    expect("four p99", statsOf({4, 1, 3, 2}).percentile(99), 4);
    expect("ties p75", statsOf({1, 1, 1, 9}).percentile(75), 1);
    expect("ties p76", statsOf({1, 1, 1, 9}).percentile(76), 9);
}

void checkAddAfterPercentile() {
    Stats stats = statsOf({10, 20, 30});
    expect("before add p100", stats.max(), 30);
    stats.add(5);
    expect("after add p0", stats.min(), 5);
    expect("after add p50", stats.median(), 10);
}

}  // namespace

int main() {
    checkOneToHundred();
    checkThousand();
    checkSmallSets();
    checkAddAfterPercentile();
    if (failures == 0) {
        std::printf("stats-check: ok\n");
    }
    return failures == 0 ? 0 : 1;
}
