#include "mail/MailClock.h"

#include <chrono>
#include <mutex>

namespace {
// Mails are composed on the delivery thread while a test may install a
// clock on its own.
std::mutex& clockMutex() {
    static std::mutex mutex;
    return mutex;
}
std::function<std::int64_t()>& installedClock() {
    static std::function<std::int64_t()> clock;
    return clock;
}
}  // namespace

std::int64_t MailClockNow() {
    std::function<std::int64_t()> clock;
    {
        std::lock_guard lock(clockMutex());
        clock = installedClock();
    }
    if (clock) return clock();
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SetMailClock(std::function<std::int64_t()> clock) {
    std::lock_guard lock(clockMutex());
    installedClock() = std::move(clock);
}
