#pragma once
#include <optional>

#include "platform/ProcessControl.h"
#include "supervision/Clock.h"

// How a process (or what is left of its group) is made to end: a graceful
// request, the kill once its time-out has passed, and a last wait for the
// killed process before giving up. The operator's stops and the clean-up
// of a group whose leader has ended both go this way; only what counts as
// "gone" differs, which the caller looks at.
class StopEscalation {
public:
    enum class Step {
        Waiting,  // nothing to do yet
        Killed,   // the time-out passed: the kill was sent now
        GaveUp,   // killed, and still not gone once its grace ran out
    };

    // Sends the first signal: `graceful` while the time-out is above zero,
    // else the kill at once. `group`: to the process group it leads.
    platform::SignalResult begin(platform::ProcessHandle& process, bool group, platform::StopSignal graceful,
                                 Clock::Duration timeout, Clock::TimePoint now, int& error);
    // Kills once the time-out has passed; gives up once the killed process
    // has had its grace. Marks the look, so the next comes a poll later.
    Step follow(platform::ProcessHandle& process, Clock::TimePoint now);
    // The time-out ends now (the operator's kill): the grace after the kill
    // keeps its length. Nothing changes once the kill has been sent.
    void expire(Clock::TimePoint now);

    bool killed() const { return killed_; }
    bool group() const { return group_; }
    // While the graceful request is waiting: when the kill comes.
    std::optional<Clock::TimePoint> killDue() const {
        if (killed_) return std::nullopt;
        return killAt_;
    }
    // When the next step is due; `polled`: the end cannot be waited on (no
    // exit watcher, or a group), so it is looked at every poll too.
    Clock::TimePoint nextDue(bool polled) const;
    // The poll has not come yet and neither has the next step.
    bool resting(Clock::TimePoint now) const { return now < nextLook_ && now < (killed_ ? giveUpAt_ : killAt_); }

    // How long a killed process is waited for before its stop is given up.
    static constexpr std::chrono::seconds kKillGrace{5};
    // How often the end is looked at where nothing can wait for it.
    static constexpr std::chrono::milliseconds kPoll{50};

private:
    Clock::TimePoint killAt_{};
    Clock::TimePoint giveUpAt_{};
    Clock::TimePoint nextLook_{};
    bool killed_ = false;
    bool group_ = false;
};
