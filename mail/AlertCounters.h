#pragma once
#include <atomic>
#include <cstdint>

// How alerts fared since the program started, for the metrics: mailed,
// failed to mail, held back by the minimum alert interval, or only logged
// because the mail is off (no SMTP server or no recipient). Counted from
// whichever thread sends; read from any.
class AlertCounters {
public:
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> suppressed{0};
    std::atomic<std::uint64_t> off{0};
};
