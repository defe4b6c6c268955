// Samples of one measurement and their order statistics.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

namespace tarnwick::bench {

class Stats {
public:
    void reserve(std::size_t count) { samples_.reserve(count); }

    void add(double sample) {
        samples_.push_back(sample);
        sorted_ = false;
    }

    std::size_t count() const { return samples_.size(); }

    // Nearest-rank percentile, p in [0, 100]: the smallest sample that at least p percent
    // of the samples do not exceed. 0 when there are no samples.
    double percentile(double p) const {
        if (samples_.empty()) {
            return 0.0;
        }
        sort();
        const double n = static_cast<double>(samples_.size());
        // The small allowance keeps p * n / 100 that is an integer in exact arithmetic
        // from rounding up to the next rank.
        const double rank = std::ceil(std::clamp(p, 0.0, 100.0) * n / 100.0 - 1e-9);
        const auto index = static_cast<std::size_t>(std::max(rank, 1.0)) - 1;
        return samples_[std::min(index, samples_.size() - 1)];
    }

    double median() const { return percentile(50.0); }
    double min() const { return percentile(0.0); }
    double max() const { return percentile(100.0); }

    double mean() const {
        if (samples_.empty()) {
            return 0.0;
        }
        return std::accumulate(samples_.begin(), samples_.end(), 0.0) /
               static_cast<double>(samples_.size());
    }

private:
    void sort() const {
        if (!sorted_) {
            std::sort(samples_.begin(), samples_.end());
            sorted_ = true;
        }
    }

    // Sorted on first use of a percentile; the order of samples is not part of the value.
    mutable std::vector<double> samples_;
    mutable bool sorted_ = true;
};

}  // namespace tarnwick::bench
