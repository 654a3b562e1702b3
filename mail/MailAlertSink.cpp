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
    const std::string line = alert.digestLine.empty() ? alert.message : alert.digestLine;
    // While a digest waits, a later alert joins it: one mail per interval,
    // in the order the alerts came.
    if (held_.empty() && throttle_.Pass(alert.time, settings_.minAlertInterval)) {
        queue(alert.subject, alert.message, alert.details, {line});
        return;
    }
    log.info("alert held for the next digest mail: minimum interval");
    ++counters_->suppressed;
    held_.push_back({line, alert.message, alert.details});
    heldSubject_ = alert.subject;
}

std::optional<std::int64_t> MailAlertSink::digestDue() const {
    if (held_.empty()) return std::nullopt;
    return throttle_.Ends(settings_.minAlertInterval);
}

bool MailAlertSink::sendDigest(std::int64_t now) {
    const auto due = digestDue();
    if (!due || now < *due) return false;
    mailDigest(now);
    return true;
}

bool MailAlertSink::flush(std::int64_t now) {
    if (held_.empty()) return false;
    mailDigest(now);
    return true;
}

void MailAlertSink::mailDigest(std::int64_t now) {
    std::vector<Held> held;
    held.swap(held_);
    auto& log = AppLogger::Instance().get();
    if (!offReason(settings_).empty()) {
        log.info("alert mail off: {} alert(s) held back are not mailed", held.size());
        counters_->off += held.size();
        return;
    }
    throttle_.Restart(now);
    std::vector<std::string> named;
    for (const Held& alert : held) named.push_back(alert.line);
    // Below the list, each alert as its own mail would have had it: its
    // text and its lines (how the process ended, its last output), read
    // when the mail goes.
    auto lines = [held] {
        std::vector<std::string> out;
        for (const Held& alert : held) {
            out.emplace_back();
            out.push_back(alert.message);
            if (!alert.details) continue;
            std::vector<std::string> details = alert.details();
            auto first = details.begin();
            if (first != details.end() && first->empty()) ++first;
            out.insert(out.end(), first, details.end());
        }
        return out;
    };
    counters_->digested += held.size();
    log.info("Mailing the digest of {} alert(s) held back by the minimum interval", held.size());
    const std::string list = digestText(named);
    queue(heldSubject_, list, std::move(lines), std::move(named));
}

void MailAlertSink::queue(const std::string& subject, const std::string& body,
                          std::function<std::vector<std::string>()> lines, std::vector<std::string> named) {
    OutgoingMail mail = MailThrough(settings_, subject, body);
    mail.alert = true;
    // Whether this mail carries the note of alerts not sent before: it then
    // decides what becomes of them.
    auto noted = std::make_shared<bool>(false);
    mail.moreLines = [lines = std::move(lines), unsent = unsent_, noted] {
        std::vector<std::string> out;
        if (lines) out = lines();
        const std::string note = unsent->take();
        if (!note.empty()) {
            *noted = true;
            out.emplace_back();
            out.push_back(note);
        }
        return out;
    };
    // Whatever becomes of the mail (sent, failed, given up at exit) is
    // counted once, on the delivery thread, for each alert it carries.
    mail.done = [counters = counters_, unsent = unsent_, noted, named = std::move(named)](const MailOutcome& outcome) {
        if (outcome.sent()) {
            counters->sent += named.size();
            if (*noted) unsent->delivered();
            return;
        }
        counters->failed += named.size();
        if (*noted) unsent->notDelivered();
        unsent->add(named);
    };
    delivery_.enqueue(std::move(mail));
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
