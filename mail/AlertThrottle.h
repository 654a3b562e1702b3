#pragma once
#include <cstdint>
#include <optional>

// The minimum interval between alert mails. The reference time is set by
// the first alert and moves to the time of every alert that is let through.
class AlertThrottle {
public:
    // True when an alert at `now` (seconds since 1970) may be mailed: the
    // first one always, later ones when at least minInterval seconds have
    // passed since the reference, or none at all.
    bool Pass(std::int64_t now, std::int32_t minInterval);

    // Forgets the reference, as at the start of the process.
    void Reset() { lastAlertReference.reset(); }

    std::optional<std::int64_t> Reference() const { return lastAlertReference; }

private:
    std::optional<std::int64_t> lastAlertReference;
};
