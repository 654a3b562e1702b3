#pragma once
#include <chrono>

// The time the supervisor plans by. Tests drive it by hand, so that ticks,
// settle reads and stop time-outs come when a test says, without sleeping.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};
