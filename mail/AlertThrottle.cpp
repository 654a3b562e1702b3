#include "mail/AlertThrottle.h"

#include <algorithm>

bool AlertThrottle::Pass(std::int64_t now, std::int32_t minInterval) {
    // Alerts of the same second as the last mail are held back too: a burst
    // raised within one second would otherwise all be mailed one by one.
    if (lastAlertReference && now - *lastAlertReference < static_cast<std::int64_t>(minInterval)) return false;
    lastAlertReference = now;
    return true;
}

std::optional<std::int64_t> AlertThrottle::Ends(std::int32_t minInterval) const {
    if (!lastAlertReference) return std::nullopt;
    return *lastAlertReference + std::max<std::int32_t>(minInterval, 0);
}
