#pragma once
#include <cstdint>
#include <optional>

#include "supervision/Clock.h"

// The restart back-off of one server: its failed starts in a row and when
// the next attempt may come. A start fails when the launch does, or when
// the process dies sooner than it must live to count. The waits between
// attempts are 1, 2, 4 ... check intervals up to the maximum; with the
// maximum 0 the back-off is off and a failed start is tried again at the
// next tick.
class RestartBackoff {
public:
    // What a failure made of the streak.
    struct Step {
        int failures = 0;                    // in a row, this one included
        Clock::Duration wait{};              // until the next attempt; zero with the back-off off
        bool reachedMaximum = false;         // the wait is at its maximum for the first time in this streak
        Clock::TimePoint streakBegan{};      // the first failure of the streak
        std::uint64_t launchesInStreak = 0;  // launches since the streak began, the failed one included
    };

    // A start tried at `attemptedAt` failed; `launches` is the record's
    // launch count now.
    Step failed(Clock::TimePoint attemptedAt, Clock::TimePoint now, std::uint64_t launches, Clock::Duration interval,
                Clock::Duration maximum);
    // The streak is over: the operator's start or stop, or a process that
    // ran long enough.
    void reset() { *this = RestartBackoff{}; }
    // The next attempt may come now (a server that ran long enough, or one
    // whose launch was put off): nothing waits for a tick or a step.
    void attemptNow(Clock::TimePoint now) {
        attemptAt_ = now;
        awaitTick_ = false;
    }

    // A launch is under way: no attempt is owed.
    void clearAttempt() {
        attemptAt_.reset();
        awaitTick_ = false;
    }

    int failures() const { return failures_; }
    // With the back-off off, a failed start waits for the next tick.
    bool awaitsTick() const { return awaitTick_; }
    // The moment the next attempt may come, when one is set.
    const std::optional<Clock::TimePoint>& attemptAt() const { return attemptAt_; }
    // The next attempt is set and has not come yet.
    bool waiting(Clock::TimePoint now) const { return attemptAt_ && now < *attemptAt_; }

private:
    int failures_ = 0;
    Clock::TimePoint streakBegan_{};
    std::uint64_t launchesAtStart_ = 0;
    bool maximumReported_ = false;
    std::optional<Clock::TimePoint> attemptAt_;
    bool awaitTick_ = false;
};
