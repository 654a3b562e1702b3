#pragma once
#include <cstdint>
#include <optional>

// The minimum interval between alert mails. The reference time is set by
// the first alert and moves to the time of every mail that goes: an alert
// let through, or a digest.
class AlertThrottle {
public:
    // True when an alert at `now` (seconds since 1970) may be mailed: the
    // first one always, later ones when at least minInterval seconds have
    // passed since the reference (an interval of 0 or below lets every one
    // through). A pass moves the reference to `now`.
    bool Pass(std::int64_t now, std::int32_t minInterval);

    // A mail went at `now` without asking (the digest): the interval counts
    // from it.
    void Restart(std::int64_t now) { lastAlertReference = now; }

    // When the interval from the reference ends; none before the first alert.
    std::optional<std::int64_t> Ends(std::int32_t minInterval) const;

    // Forgets the reference, as at the start of the process.
    void Reset() { lastAlertReference.reset(); }

    std::optional<std::int64_t> Reference() const { return lastAlertReference; }

private:
    std::optional<std::int64_t> lastAlertReference;
};
