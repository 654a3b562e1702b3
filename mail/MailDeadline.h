#pragma once
#include <chrono>

// The time limits of one mail: each wait on the socket has its own limit,
// and the whole exchange has an overall one, so a server that answers just
// often enough to keep every single wait alive still cannot hold a mail for
// ever.
class MailDeadline {
public:
    using Clock = std::chrono::steady_clock;

    MailDeadline(std::chrono::milliseconds overall, std::chrono::milliseconds waitLimit);

    // The limit of the next wait: the wait limit, or less when the overall
    // time ends sooner (then `cutShort` is set). Throws ECSmtp 413 when the
    // overall time is already up.
    std::chrono::milliseconds nextWait(bool& cutShort) const;

    // The error of a wait that timed out: 413 when the overall limit cut it
    // short, otherwise `code` (402 for a read or write, 403 for a connect).
    [[noreturn]] void timedOut(int code, bool cutShort) const;

    std::chrono::milliseconds overall() const { return overall_; }

private:
    std::chrono::milliseconds overall_;
    std::chrono::milliseconds waitLimit_;
    Clock::time_point end_;
};
