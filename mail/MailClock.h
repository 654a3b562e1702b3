#pragma once
#include <cstdint>
#include <functional>

// The clock of the mail code (the Date header and the alert interval):
// seconds since 1970-01-01 00:00:00 UTC.
std::int64_t MailClockNow();

// Installs another clock; an empty function restores the real one.
void SetMailClock(std::function<std::int64_t()> clock);
