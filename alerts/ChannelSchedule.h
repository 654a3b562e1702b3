#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "alerts/ChannelMessage.h"
#include "alerts/MinuteLog.h"
#include "alerts/PostOutcome.h"
#include "config/WebhookSettingsData.h"
#include "mail/ChannelCounters.h"
#include "mail/UnsentAlerts.h"

// When a webhook channel posts what, as plain decisions on times its
// caller gives (milliseconds since 1970), so that a test can drive them.
//
// - The first alert after a quiet spell is posted alone, at once. Alerts
//   that come while the minimum interval since the last post runs, or while
//   a post is under way, wait and go together as one digest when it ends
//   (as many as fit the robot's size; the rest in the next).
// - No more posts than the budget allows in any span of its window (every
//   attempt counts, as the robot counts them); once half of it is spent the
//   posts are spaced over the window; alerts that wait go in the digest.
// - A post the robot refuses for good is not tried again: its alerts are
//   named in the next post that goes through ("3 alerts could not be sent:
//   ..."). A post that may succeed later is tried again after the growing
//   waits (or as long as the robot asked, and then nothing goes to it
//   before that), its alerts joining the next digest; a fresh alert brings
//   that attempt forward to the end of the minimum interval, so nothing
//   waits behind a failing post for longer. An alert still failing when the
//   waits are spent is given up and named like a refused one.
// - Repeated failures and the alerts folded into digests are logged once a
//   minute (MinuteLog).
class ChannelSchedule {
public:
    struct Options {
        std::int64_t minIntervalMs = 5000;
        PostBudget budget{};
        std::vector<std::chrono::milliseconds> retryWaits{std::chrono::seconds(10), std::chrono::seconds(30),
                                                          std::chrono::minutes(2), std::chrono::minutes(10)};
        // The wait after a rate-limit answer that does not say how long.
        std::int64_t rateLimitWaitMs = 60000;
    };

    // Whether a message fits the robot whole (WebhookFormat::fits).
    using Fits = std::function<bool(const ChannelMessage&)>;

    // One post to make: the message, and the alerts it carries.
    struct Post {
        ChannelMessage message;
        std::string what;    // for the log
        bool noted = false;  // it carries the note of alerts not sent before
    };

    ChannelSchedule(std::string logName, Options options, std::shared_ptr<ChannelCounters> counters, Fits fits);

    // An alert for this channel at `nowMs`.
    void add(const AlertEvent& event, std::int64_t nowMs);

    // The post to make at `nowMs`, if one is due; `wakeAt` is set to when
    // to ask again (left empty when only a new alert can change anything).
    // Nothing while a post is under way.
    std::optional<Post> next(std::int64_t nowMs, std::optional<std::int64_t>& wakeAt);
    // How the post `next` gave ended, at `nowMs`.
    void finished(const Post& post, const PostOutcome& outcome, std::int64_t nowMs);

    // The program ends: alerts no longer wait for the interval or a retry
    // (the budget and a robot's own wait still hold).
    void flush() { flushing_ = true; }
    // Gives up every alert still waiting, logged as not sent before exit.
    void abandon(std::int64_t nowMs);

    // Nothing waits and no post is under way.
    bool idle() const { return pending_.empty() && !inFlight_; }
    std::size_t waiting() const { return pending_.size(); }
    const UnsentAlerts& unsent() const { return unsent_; }

private:
    struct Entry {
        AlertEvent event;
        bool alone = false;               // came to a quiet channel: posted at once, by itself
        int attempts = 0;                 // failed posts it was in
        std::int64_t firstFailureMs = 0;  // of the first of them
    };

    // When the budget lets the next post go: at once while half of it is
    // left, then spaced by the window's share of one post, never beyond it.
    std::int64_t budgetRoom(std::int64_t nowMs);
    // When the alerts waiting may go, budget and waits aside.
    std::int64_t waitingDue(std::int64_t nowMs) const;
    // The message of the first `count` alerts waiting.
    ChannelMessage messageOf(std::size_t count, std::int64_t nowMs, const std::string& note) const;

    std::string logName_;
    Options options_;
    std::shared_ptr<ChannelCounters> counters_;
    Fits fits_;
    MinuteLog minuteLog_;
    UnsentAlerts unsent_;

    std::deque<Entry> pending_;
    std::vector<Entry> inFlightEntries_;
    bool inFlight_ = false;
    bool flushing_ = false;
    std::deque<std::int64_t> attemptTimes_;  // ends of the attempts within the budget's window
    std::optional<std::int64_t> lastAttempt_;
    int failures_ = 0;                 // failed posts in a row
    std::int64_t retryAt_ = 0;         // of the alerts that failed
    std::int64_t pauseUntil_ = 0;      // a robot's own wait
    std::int64_t retryHorizonMs_ = 0;  // the sum of the retry waits
};
