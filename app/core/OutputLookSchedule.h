#pragma once
#include <chrono>
#include <cstdint>

// When to look at the size of one server's output file again. A file that
// does not grow is looked at less and less often (up to `kLongest` apart);
// one that grows is looked at again by the time it could have gone halfway
// from its size to the limit at the rate seen, never sooner than the period.
// So a hundred quiet servers cost a few stats a second instead of a hundred,
// and a file that suddenly fills is caught within `kLongest`.
class OutputLookSchedule {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kLongest{30};

    // True when the file is to be looked at now (also before the first look).
    bool due(Clock::time_point now) const { return !looked_ || now >= next_; }
    // The size seen at `now`, with the limit and the period; returns when to
    // look next.
    Clock::time_point seen(std::int64_t size, std::int64_t maxBytes, Clock::time_point now,
                           std::chrono::milliseconds period);

private:
    bool looked_ = false;
    std::int64_t lastSize_ = 0;
    Clock::time_point lastAt_{};
    Clock::time_point next_{};
    Clock::duration quietWait_{};
};
