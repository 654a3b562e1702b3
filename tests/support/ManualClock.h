#pragma once
#include "supervision/Clock.h"

// A clock that moves only when the test says so.
class ManualClock : public Clock {
public:
    TimePoint now() const override { return now_; }
    void advance(Duration by) { now_ += by; }

private:
    TimePoint now_ = std::chrono::steady_clock::now();
};
