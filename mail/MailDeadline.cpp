#include "mail/MailDeadline.h"

#include "mail/ECSmtp.h"

namespace {
std::string secondsText(std::chrono::milliseconds limit) {
    const auto ms = limit.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}
}  // namespace

MailDeadline::MailDeadline(std::chrono::milliseconds overall, std::chrono::milliseconds waitLimit)
    : overall_(overall), waitLimit_(waitLimit), end_(Clock::now() + overall) {}

std::chrono::milliseconds MailDeadline::nextWait(bool& cutShort) const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now());
    if (left.count() <= 0) throw ECSmtp(413, secondsText(overall_));
    cutShort = left < waitLimit_;
    return cutShort ? left : waitLimit_;
}

void MailDeadline::timedOut(int code, bool cutShort) const {
    if (cutShort) throw ECSmtp(413, secondsText(overall_));
    throw ECSmtp(code);
}
