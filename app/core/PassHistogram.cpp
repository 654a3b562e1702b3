#include "app/core/PassHistogram.h"

void PassHistogram::observe(std::chrono::nanoseconds duration) {
    const double seconds = std::chrono::duration<double>(duration).count();
    for (std::size_t i = 0; i < kBounds.size(); ++i) {
        if (seconds <= kBounds[i]) {
            ++buckets_[i];
            break;
        }
    }
    ++count_;
    sum_ += seconds;
}

std::uint64_t PassHistogram::cumulative(std::size_t bucket) const {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i <= bucket && i < buckets_.size(); ++i) n += buckets_[i];
    return n;
}
