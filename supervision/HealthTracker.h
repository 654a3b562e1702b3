#pragma once
#include <cstdint>
#include <string>

#include "config/HealthRule.h"
#include "supervision/Clock.h"
#include "supervision/HealthCheck.h"
#include "supervision/HealthState.h"

// What a server's health rule has found of its process: the checks in a
// row that failed, the verdict and why, and when the next check is due.
// The verdict is the one every view shows; only the record's own checks
// change it.
class HealthTracker {
public:
    // What one check's result did to the verdict.
    struct Outcome {
        bool changed = false;          // the verdict or its reason changed
        bool becameUnhealthy = false;  // it failed as often as the rule allows, now
        bool becameHealthy = false;    // it passes again after being unhealthy
        std::string detail;            // becameUnhealthy: " (target, 3 failed checks in a row)" for a probe
        double residentMb = 0;         // the memory read, when the rule reads it
    };

    // A new process is held (or the rule changed): the rule starts over
    // after its grace, keeping whether an unhealthy verdict was told and
    // the counts.
    void restart(const HealthRule* rule, Clock::TimePoint runningSince, Clock::TimePoint now);
    // The process is gone: a check under way is dropped, and unless the
    // rule itself restarts the server its verdict with it.
    void processGone(bool keepVerdict);

    // A check is due now; `gathering` (other checks are going out now): also
    // within a tenth of its interval, once the first check after the grace
    // has gone.
    bool due(const HealthRule& rule, Clock::TimePoint now, bool gathering) const;
    // A check goes out under `ticket`; the next is due an interval later.
    void begin(const HealthRule& rule, std::uint64_t ticket, Clock::TimePoint now);
    // The next check is due at once, unless one is under way.
    void dueNow(Clock::TimePoint now) {
        if (ticket_ == 0) nextCheck_ = now;
    }
    // The check under way is no longer awaited.
    void cancel() { ticket_ = 0; }
    // A check came back: the counts, and the verdict the rule makes of them.
    Outcome result(const HealthRule& rule, const HealthCheckResult& result);

    HealthState state() const { return state_; }
    const std::string& reason() const { return reason_; }
    std::uint64_t ticket() const { return ticket_; }
    Clock::TimePoint nextCheck() const { return nextCheck_; }
    // Checks that came back, and the times the verdict became unhealthy.
    std::uint64_t checks() const { return checks_; }
    std::uint64_t failures() const { return failures_; }
    int probeFailures() const { return probeFailures_; }

private:
    Clock::TimePoint nextCheck_{};
    std::uint64_t ticket_ = 0;  // of the check under way; 0: none
    int probeFailures_ = 0;     // failed probes in a row
    int memoryOver_ = 0;        // checks in a row above the memory limit
    HealthState state_ = HealthState::Checking;
    std::string reason_;
    bool told_ = false;  // told unhealthy: the next pass is told as recovered
    std::uint64_t checks_ = 0;
    std::uint64_t failures_ = 0;
    bool mayGather_ = false;  // the next check follows an interval, not a grace
};

// "2,310 MB": megabytes (of 1,048,576 bytes) with thousands separated.
std::string megabytesText(double mb);
