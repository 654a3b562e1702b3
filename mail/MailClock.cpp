#include "mail/MailClock.h"

#include <chrono>
#include <mutex>

namespace {
// Mails are composed on the delivery thread and posts planned on the
// channels' threads while a test may install a clock on its own.
std::mutex& clockMutex() {
    static std::mutex mutex;
    return mutex;
}
std::function<std::int64_t()>& installedClock() {
    static std::function<std::int64_t()> clock;  // milliseconds
    return clock;
}
}  // namespace

std::int64_t MailClockNowMs() {
    std::function<std::int64_t()> clock;
    {
        std::lock_guard lock(clockMutex());
        clock = installedClock();
    }
    if (clock) return clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t MailClockNow() {
    const std::int64_t ms = MailClockNowMs();
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

void SetMailClockMs(std::function<std::int64_t()> clock) {
    std::lock_guard lock(clockMutex());
    installedClock() = std::move(clock);
}

void SetMailClock(std::function<std::int64_t()> clock) {
    if (!clock) return SetMailClockMs({});
    SetMailClockMs([clock = std::move(clock)] { return clock() * 1000; });
}
