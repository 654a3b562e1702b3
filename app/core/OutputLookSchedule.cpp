#include "app/core/OutputLookSchedule.h"

#include <algorithm>

OutputLookSchedule::Clock::time_point OutputLookSchedule::seen(std::int64_t size, std::int64_t maxBytes,
                                                               Clock::time_point now,
                                                               std::chrono::milliseconds period) {
    const Clock::duration longest = std::max<Clock::duration>(kLongest, period);
    Clock::duration wait = period;
    if (!looked_ || size < lastSize_ || size < 0) {
        // New, rotated or unreadable: looked at again after one period.
        quietWait_ = period;
    } else if (size == lastSize_) {
        quietWait_ = std::min<Clock::duration>(std::max<Clock::duration>(quietWait_ * 2, period), longest);
        wait = quietWait_;
    } else if (now - lastAt_ > period + period / 2) {
        // Growing after a quiet spell: the average since the last look says
        // little of how fast it fills now; that is measured over one period.
        quietWait_ = period;
    } else {
        quietWait_ = period;
        const double elapsed = std::chrono::duration<double>(now - lastAt_).count();
        const double rate = elapsed > 0 ? static_cast<double>(size - lastSize_) / elapsed : 0;  // bytes per second
        if (rate > 0 && maxBytes > size) {
            const double halfway = static_cast<double>(maxBytes - size) / rate / 2;
            const double capped = std::min(halfway, std::chrono::duration<double>(longest).count());
            wait = std::max<Clock::duration>(
                period, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped)));
        }
    }
    looked_ = true;
    lastSize_ = size;
    lastAt_ = now;
    next_ = now + wait;
    return next_;
}
