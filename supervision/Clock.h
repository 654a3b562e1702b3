#pragma once
#include <chrono>
#include <cstdint>

// The time the supervisor plans by. Tests drive it by hand, so that ticks,
// settle reads and stop time-outs come when a test says, without sleeping.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    // The calendar time, in seconds since 1970-01-01 00:00:00 UTC: what an
    // alert says about when it happened.
    virtual std::int64_t secondsSince1970() const {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};
