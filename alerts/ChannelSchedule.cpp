#include "alerts/ChannelSchedule.h"

#include <algorithm>

#include "alerts/AlertText.h"
#include "alerts/MessageFit.h"
#include "log/AppLogger.h"
#include "mail/MailAlertSink.h"

namespace {

// While posts fail, a fresh alert brings the next attempt no closer than
// this after the last one, whatever the minimum interval.
constexpr std::int64_t kFailingFloorMs = 1000;

// What a robot's clock may differ from ours in counting its window.
std::int64_t budgetMargin(const PostBudget& budget) { return std::max<std::int64_t>(100, budget.windowMs / 60); }

std::string waitText(std::int64_t ms) {
    if (ms >= 60000 && ms % 60000 == 0) return std::to_string(ms / 60000) + " min";
    if (ms >= 1000 && ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

template <typename Entries>
std::vector<std::string> namesOf(const Entries& entries) {
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(AlertShortText(entry.event));
    return names;
}

}  // namespace

ChannelSchedule::ChannelSchedule(std::string logName, Options options, std::shared_ptr<ChannelCounters> counters,
                                 Fits fits)
    : logName_(std::move(logName)),
      options_(std::move(options)),
      counters_(std::move(counters)),
      fits_(std::move(fits)),
      minuteLog_(logName_) {
    for (const auto wait : options_.retryWaits) retryHorizonMs_ += wait.count();
}

void ChannelSchedule::add(const AlertEvent& event, std::int64_t nowMs) {
    // An alert to a channel with nothing to wait for goes at once and
    // alone; one that comes after it waits for the interval.
    const bool quiet = pending_.empty() && !inFlight_ && failures_ == 0 && nowMs >= pauseUntil_ &&
                       (!lastAttempt_ || nowMs >= *lastAttempt_ + options_.minIntervalMs);
    pending_.push_back(Entry{event, quiet, 0, 0});
}

std::int64_t ChannelSchedule::budgetRoom(std::int64_t nowMs) {
    const PostBudget& budget = options_.budget;
    if (budget.posts <= 0) return nowMs;
    const std::int64_t span = budget.windowMs + budgetMargin(budget);
    while (!attemptTimes_.empty() && attemptTimes_.front() + span <= nowMs) attemptTimes_.pop_front();
    const auto posts = static_cast<std::size_t>(budget.posts);
    if (attemptTimes_.size() >= posts) return attemptTimes_[attemptTimes_.size() - posts] + span;
    // Once half the budget is spent, the rest is spread over the window: a
    // burst does not use it all up in its first second and leave the alerts
    // after it waiting for the window to pass; they go in the digests the
    // spacing gathers.
    if (!flushing_ && lastAttempt_ && attemptTimes_.size() * 2 >= posts)
        return std::max(nowMs, *lastAttempt_ + budget.windowMs / budget.posts);
    return nowMs;
}

std::int64_t ChannelSchedule::waitingDue(std::int64_t nowMs) const {
    const Entry& head = pending_.front();
    if (flushing_ || (head.alone && head.attempts == 0)) return nowMs;
    const bool fresh = std::any_of(pending_.begin(), pending_.end(), [](const Entry& e) { return e.attempts == 0; });
    const bool failed = std::any_of(pending_.begin(), pending_.end(), [](const Entry& e) { return e.attempts > 0; });
    const std::int64_t interval =
        failures_ > 0 ? std::max(options_.minIntervalMs, kFailingFloorMs) : options_.minIntervalMs;
    const std::int64_t freshDue = lastAttempt_ ? *lastAttempt_ + interval : nowMs;
    if (fresh && failed) return std::min(freshDue, retryAt_);
    return fresh ? freshDue : retryAt_;
}

ChannelMessage ChannelSchedule::messageOf(std::size_t count, std::int64_t nowMs, const std::string& note) const {
    ChannelMessage message;
    if (count == 1) {
        message = ChannelMessage::alert(pending_.front().event);
    } else {
        std::vector<AlertEvent> events;
        for (std::size_t i = 0; i < count; ++i) events.push_back(pending_[i].event);
        message = ChannelMessage::digest(std::move(events), nowMs / 1000);
    }
    message.unsentNote = note;
    return message;
}

std::optional<ChannelSchedule::Post> ChannelSchedule::next(std::int64_t nowMs, std::optional<std::int64_t>& wakeAt) {
    minuteLog_.flush(nowMs);
    wakeAt = minuteLog_.due();
    if (inFlight_ || pending_.empty()) return std::nullopt;
    const std::int64_t due = std::max({waitingDue(nowMs), pauseUntil_, budgetRoom(nowMs)});
    if (due > nowMs) {
        wakeAt = wakeAt ? std::min(*wakeAt, due) : due;
        return std::nullopt;
    }

    const std::string note = unsent_.take();
    const Entry& head = pending_.front();
    // As many of the alerts waiting as the robot takes whole; the rest go
    // in the next post.
    const std::size_t count = head.alone && head.attempts == 0 ? 1 : MessageFit::largest(1, pending_.size(), [&](std::size_t n) {
        return fits_(messageOf(n, nowMs, note));
    });
    Post post;
    post.message = messageOf(count, nowMs, note);
    post.noted = !note.empty();
    post.what = post.message.logText();
    if (count > 1) {
        const auto fresh = static_cast<std::uint64_t>(
            std::count_if(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count),
                          [](const Entry& e) { return e.attempts == 0; }));
        counters_->digested += fresh;
        minuteLog_.count("folded", fresh, "posts folded into digests", nowMs);
    }
    inFlightEntries_.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    inFlight_ = true;
    return post;
}

void ChannelSchedule::finished(const Post& post, const PostOutcome& outcome, std::int64_t nowMs) {
    auto& log = AppLogger::Instance().get();
    inFlight_ = false;
    std::vector<Entry> entries;
    entries.swap(inFlightEntries_);
    lastAttempt_ = nowMs;
    attemptTimes_.push_back(nowMs);

    switch (outcome.result) {
        case PostOutcome::Result::Delivered:
            ++counters_->sent;
            if (post.noted) unsent_.delivered();
            failures_ = 0;
            retryAt_ = 0;
            log.info("{}: sent: {}", logName_, post.what);
            return;

        case PostOutcome::Result::Refused:
            // The robot answered: it is up, but this post can never pass.
            ++counters_->refused;
            counters_->failed += entries.size();
            counters_->refusal(outcome.error, nowMs / 1000);
            if (post.noted) unsent_.notDelivered();
            unsent_.add(namesOf(entries));
            failures_ = 0;
            minuteLog_.error("refused", "refused (" + outcome.error + "), not tried again: " + post.what,
                             "more posts refused", outcome.error, nowMs);
            return;

        case PostOutcome::Result::Cancelled:
            counters_->failed += entries.size();
            if (post.noted) unsent_.notDelivered();
            log.error("{}: not sent before exit (cancelled): {}", logName_, post.what);
            return;

        case PostOutcome::Result::Retry: break;
    }

    ++failures_;
    if (post.noted) unsent_.notDelivered();
    const auto& waits = options_.retryWaits;
    std::int64_t wait = 0;
    if (outcome.retryAfterMs)
        wait = *outcome.retryAfterMs;
    else if (outcome.rateLimited)
        wait = options_.rateLimitWaitMs;
    else if (!waits.empty())
        wait = waits[std::min<std::size_t>(static_cast<std::size_t>(failures_ - 1), waits.size() - 1)].count();
    retryAt_ = nowMs + wait;
    // The robot said how long, or that it gets too many: nothing goes to it
    // before then.
    if (outcome.retryAfterMs || outcome.rateLimited) pauseUntil_ = std::max(pauseUntil_, nowMs + wait);

    std::vector<Entry> again;
    std::vector<Entry> givenUp;
    for (Entry& entry : entries) {
        if (entry.attempts++ == 0) entry.firstFailureMs = nowMs;
        entry.alone = false;
        (nowMs - entry.firstFailureMs >= retryHorizonMs_ ? givenUp : again).push_back(std::move(entry));
    }
    pending_.insert(pending_.begin(), again.begin(), again.end());
    if (!again.empty()) {
        ++counters_->retried;
        minuteLog_.error("failed",
                         "sending failed (" + outcome.error + "); trying again in " + waitText(wait) + ": " + post.what,
                         "more posts failed", outcome.error, nowMs);
    }
    if (!givenUp.empty()) {
        const std::vector<std::string> names = namesOf(givenUp);
        counters_->failed += givenUp.size();
        unsent_.add(names);
        log.error("{}: given up after {} attempt(s), the last: {}: {}", logName_, givenUp.front().attempts,
                  outcome.error,
                  givenUp.size() == 1 ? givenUp.front().event.message : MailAlertSink::digestText(names));
    }
}

void ChannelSchedule::abandon(std::int64_t nowMs) {
    minuteLog_.flush(nowMs, true);
    if (pending_.empty()) return;
    const std::vector<std::string> names = namesOf(pending_);
    counters_->failed += names.size();
    std::string listed;
    for (std::size_t i = 0; i < names.size() && i < 100; ++i) listed += (i > 0 ? ", " : "") + names[i];
    if (names.size() > 100) listed += ", …";
    AppLogger::Instance().get().error(
        "{}: {} not sent before exit: {}", logName_,
        names.size() == 1 ? std::string("1 alert") : std::to_string(names.size()) + " alerts", listed);
    pending_.clear();
}
