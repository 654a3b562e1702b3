#include "mail/AlertThrottle.h"

bool AlertThrottle::Pass(std::int64_t now, std::int32_t minInterval) {
    if (!lastAlertReference) lastAlertReference = now;
    const std::int64_t elapsed = now - *lastAlertReference;
    if (elapsed != 0 && elapsed < static_cast<std::int64_t>(minInterval)) return false;
    lastAlertReference = now;
    return true;
}
