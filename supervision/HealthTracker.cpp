#include "supervision/HealthTracker.h"

#include <algorithm>

namespace {

std::string plural(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

std::string megabytesText(double mb) {
    std::string digits = std::to_string(static_cast<long long>(mb + 0.5));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits + " MB";
}

void HealthTracker::restart(const HealthRule* rule, Clock::TimePoint runningSince, Clock::TimePoint now) {
    HealthTracker fresh;
    fresh.told_ = told_;
    fresh.checks_ = checks_;
    fresh.failures_ = failures_;
    if (rule) fresh.nextCheck_ = std::max(runningSince + rule->grace, now);
    *this = fresh;
}

void HealthTracker::processGone(bool keepVerdict) {
    ticket_ = 0;
    if (keepVerdict) return;
    state_ = HealthState::Checking;
    reason_.clear();
}

bool HealthTracker::due(const HealthRule& rule, Clock::TimePoint now, bool gathering) const {
    if (ticket_ != 0) return false;
    if (now >= nextCheck_) return true;
    return gathering && mayGather_ && now + rule.interval / 10 >= nextCheck_;
}

void HealthTracker::begin(const HealthRule& rule, std::uint64_t ticket, Clock::TimePoint now) {
    ticket_ = ticket;
    nextCheck_ = now + rule.interval;
    mayGather_ = true;
}

HealthTracker::Outcome HealthTracker::result(const HealthRule& rule, const HealthCheckResult& result) {
    ticket_ = 0;
    ++checks_;
    Outcome outcome;
    const HealthState oldState = state_;
    const std::string oldReason = reason_;
    if (result.probed) probeFailures_ = result.healthy ? 0 : probeFailures_ + 1;
    if (rule.maxMemoryMb > 0 && result.residentBytes) {
        outcome.residentMb = static_cast<double>(*result.residentBytes) / (1024.0 * 1024.0);
        memoryOver_ = outcome.residentMb > rule.maxMemoryMb ? memoryOver_ + 1 : 0;
    }
    const bool probeFailed = result.probed && !result.healthy && probeFailures_ >= rule.failures;
    const bool memoryFailed = rule.maxMemoryMb > 0 && memoryOver_ >= rule.memoryChecks;
    if (probeFailed || memoryFailed) {
        reason_ = probeFailed ? result.seen
                              : "RSS " + megabytesText(outcome.residentMb) + " > " + megabytesText(rule.maxMemoryMb) +
                                    " for " + plural(memoryOver_, "check", "checks");
        if (oldState == HealthState::Unhealthy) {
            outcome.changed = reason_ != oldReason;
            return outcome;
        }
        state_ = HealthState::Unhealthy;
        told_ = true;
        ++failures_;
        outcome.changed = true;
        outcome.becameUnhealthy = true;
        if (probeFailed)
            outcome.detail =
                " (" + rule.target + ", " + plural(probeFailures_, "failed check", "failed checks") + " in a row)";
        return outcome;
    }
    const bool passed = (!result.probed || result.healthy) && memoryOver_ == 0;
    if (!passed) return outcome;  // failing, not yet as often as the rule allows
    state_ = HealthState::Healthy;
    reason_.clear();
    outcome.changed = state_ != oldState;
    if (told_) {
        told_ = false;
        outcome.becameHealthy = true;
    }
    return outcome;
}
