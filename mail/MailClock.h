#pragma once
#include <cstdint>
#include <functional>

// The clock of the alert channels (the Date header, the mail's interval, the
// webhooks' intervals, budgets and retries), which tests move by hand.

// Seconds since 1970-01-01 00:00:00 UTC.
std::int64_t MailClockNow();
// Milliseconds since 1970-01-01 00:00:00 UTC.
std::int64_t MailClockNowMs();

// Installs another clock in seconds; an empty function restores the real one.
void SetMailClock(std::function<std::int64_t()> clock);
// Installs another clock in milliseconds; an empty function restores the
// real one.
void SetMailClockMs(std::function<std::int64_t()> clock);
