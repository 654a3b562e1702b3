#include "supervision/RestartBackoff.h"

RestartBackoff::Step RestartBackoff::failed(Clock::TimePoint attemptedAt, Clock::TimePoint now, std::uint64_t launches,
                                            Clock::Duration interval, Clock::Duration maximum) {
    if (failures_ == 0) {
        streakBegan_ = now;
        // The failed launch belongs to the streak.
        launchesAtStart_ = launches > 0 ? launches - 1 : 0;
    }
    ++failures_;
    Step step;
    step.failures = failures_;
    step.streakBegan = streakBegan_;
    step.launchesInStreak = launches - launchesAtStart_;
    if (maximum <= Clock::Duration::zero()) {
        // Off: one attempt per check.
        attemptAt_.reset();
        awaitTick_ = true;
        return step;
    }
    awaitTick_ = false;
    Clock::Duration wait = interval;
    for (int i = 1; i < failures_ && wait < maximum; ++i) wait *= 2;
    if (wait >= maximum) {
        wait = maximum;
        step.reachedMaximum = !maximumReported_;
        maximumReported_ = true;
    }
    // Counted from the attempt, so that attempts are 1, 2, 4 ... intervals apart.
    attemptAt_ = attemptedAt + wait;
    step.wait = wait;
    return step;
}
