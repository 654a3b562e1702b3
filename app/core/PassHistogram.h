#pragma once
#include <array>
#include <chrono>
#include <cstdint>

// How long check passes took, in the buckets of a Prometheus histogram.
class PassHistogram {
public:
    // Upper bounds of the buckets, in seconds; a last bucket (+Inf) follows.
    static constexpr std::array<double, 12> kBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                       0.05,   0.1,   0.25,   0.5,   1.0,  2.5};

    void observe(std::chrono::nanoseconds duration);

    // Passes no longer than kBounds[i] (cumulative, as the format counts).
    std::uint64_t cumulative(std::size_t bucket) const;
    std::uint64_t count() const { return count_; }
    double sumSeconds() const { return sum_; }

private:
    std::array<std::uint64_t, kBounds.size()> buckets_{};  // each pass in its own bucket only
    std::uint64_t count_ = 0;
    double sum_ = 0;
};
