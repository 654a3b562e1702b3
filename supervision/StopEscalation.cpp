#include "supervision/StopEscalation.h"

#include <algorithm>

platform::SignalResult StopEscalation::begin(platform::ProcessHandle& process, bool group,
                                             platform::StopSignal graceful, Clock::Duration timeout,
                                             Clock::TimePoint now, int& error) {
    const bool asks = timeout > Clock::Duration::zero();
    group_ = group;
    killed_ = !asks;
    killAt_ = now + (asks ? timeout : Clock::Duration::zero());
    giveUpAt_ = killAt_ + kKillGrace;
    nextLook_ = now + kPoll;
    return process.signal(asks ? graceful : platform::StopSignal::Kill, group, error);
}

StopEscalation::Step StopEscalation::follow(platform::ProcessHandle& process, Clock::TimePoint now) {
    nextLook_ = now + kPoll;
    if (!killed_ && now >= killAt_) {
        killed_ = true;
        int error = 0;
        process.signal(platform::StopSignal::Kill, group_, error);
        return Step::Killed;
    }
    if (killed_ && now >= giveUpAt_) return Step::GaveUp;
    return Step::Waiting;
}

void StopEscalation::expire(Clock::TimePoint now) {
    if (killed_) return;
    giveUpAt_ = now + (giveUpAt_ - killAt_);
    killAt_ = now;
}

Clock::TimePoint StopEscalation::nextDue(bool polled) const {
    const Clock::TimePoint step = killed_ ? giveUpAt_ : killAt_;
    return polled ? std::min(step, nextLook_) : step;
}
