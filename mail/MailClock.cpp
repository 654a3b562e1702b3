#include "mail/MailClock.h"

#include <chrono>

namespace {
std::function<std::int64_t()>& installedClock() {
    static std::function<std::int64_t()> clock;
    return clock;
}
}  // namespace

std::int64_t MailClockNow() {
    if (const auto& clock = installedClock()) return clock();
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SetMailClock(std::function<std::int64_t()> clock) { installedClock() = std::move(clock); }
