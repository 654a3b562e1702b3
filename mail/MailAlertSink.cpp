#include "mail/MailAlertSink.h"

#include <algorithm>

#include "log/AppLogger.h"
#include "mail/AlertDispatch.h"
#include "mail/MailDelivery.h"

MailAlertSink::MailAlertSink(MailDelivery& delivery, AlertMailSettingsData settings)
    : delivery_(delivery), settings_(std::move(settings)) {}

std::string MailAlertSink::offReason(const AlertMailSettingsData& settings) {
    if (settings.smtpServer.empty()) return "no SMTP server";
    return {};
}

void MailAlertSink::alert(const Alert& alert) {
    auto& log = AppLogger::Instance().get();
    if (alert.failure)
        log.error("{}", alert.message);
    else
        log.info("{}", alert.message);
    if (!alert.mailed) return;
    if (!offReason(settings_).empty()) {
        ++counters_->off;
        return;
    }
    if (!throttle_.Pass(alert.time, settings_.minAlertInterval)) {
        log.info("alert not mailed: minimum interval");
        ++counters_->suppressed;
        heldBack_.push_back(alert.digestLine.empty() ? alert.message : alert.digestLine);
        heldSubject_ = alert.subject;
        return;
    }
    OutgoingMail mail = MailThrough(settings_, alert.subject, alert.message);
    mail.alert = true;
    mail.moreLines = alert.details;
    // Whatever becomes of the mail (sent, failed, dropped from a full
    // queue, given up at exit) is counted once, on the delivery thread.
    mail.done = [counters = counters_](const MailOutcome& outcome) {
        ++(outcome.sent() ? counters->sent : counters->failed);
    };
    delivery_.enqueue(std::move(mail));
}

std::optional<std::int64_t> MailAlertSink::digestDue() const {
    if (heldBack_.empty() || !throttle_.Reference()) return std::nullopt;
    return *throttle_.Reference() + std::max<std::int32_t>(settings_.minAlertInterval, 0);
}

bool MailAlertSink::sendDigest(std::int64_t now) {
    const auto due = digestDue();
    if (!due || now < *due) return false;
    std::vector<std::string> lines;
    lines.swap(heldBack_);
    if (!offReason(settings_).empty()) return false;
    // A mail of its own: the alert mails keep their interval, and this one
    // does not move it.
    OutgoingMail mail = MailThrough(settings_, heldSubject_, digestText(lines));
    mail.alert = true;
    counters_->digested += lines.size();
    AppLogger::Instance().get().info("Mailing the digest of {} alert(s) held back by the minimum interval",
                                     lines.size());
    delivery_.enqueue(std::move(mail));
    return true;
}

std::string MailAlertSink::digestText(const std::vector<std::string>& lines) {
    // A chat message or a mail stays readable: the rest of a long list is
    // only counted.
    constexpr std::size_t kMostNamed = 100;
    std::string text = "and " + std::to_string(lines.size()) + " more: ";
    for (std::size_t i = 0; i < lines.size() && i < kMostNamed; ++i) {
        if (i > 0) text += ", ";
        text += lines[i];
    }
    if (lines.size() > kMostNamed) text += ", …";
    return text;
}
