#include "mail/MailAlertSink.h"

#include "log/AppLogger.h"
#include "mail/AlertDispatch.h"
#include "mail/MailDelivery.h"

MailAlertSink::MailAlertSink(MailDelivery& delivery, AlertMailSettingsData settings)
    : delivery_(delivery), settings_(std::move(settings)) {}

std::string MailAlertSink::offReason(const AlertMailSettingsData& settings) {
    if (settings.smtpServer.empty()) return "no SMTP server";
    // The addresses between the separators, as the sender takes them.
    if (settings.smtpMailTo.find_first_not_of("; ") == std::string::npos) return "no recipients";
    return {};
}

void MailAlertSink::alert(const Alert& alert) {
    auto& log = AppLogger::Instance().get();
    if (alert.failure)
        log.error("{}", alert.message);
    else
        log.info("{}", alert.message);
    if (!offReason(settings_).empty()) {
        ++counters_->off;
        return;
    }
    if (!throttle_.Pass(alert.time, settings_.minAlertInterval)) {
        log.info("alert not mailed: minimum interval");
        ++counters_->suppressed;
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
