#include "supervision/SystemClock.h"

Clock::TimePoint SystemClock::now() const { return std::chrono::steady_clock::now(); }

SystemClock& SystemClock::Instance() {
    static SystemClock clock;
    return clock;
}
