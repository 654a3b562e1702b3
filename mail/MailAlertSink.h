#pragma once
#include <cstdint>
#include <functional>
#include <vector>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/AlertMailSettingsData.h"
#include "mail/AlertCounters.h"
#include "mail/AlertThrottle.h"

class MailDelivery;

// Alerts as mail: each is written to the log, and no more often than the
// minimum alert interval allows, mailed through the delivery thread with
// the settings in force; an alert held back says so in the log. Without an
// SMTP server or a recipient the mail is off: alerts are only logged, and
// no mail is tried. Its counters tell the metrics how the alerts fared.
// Everything but the sending runs on the caller's thread, which never waits
// for a mail.
class MailAlertSink {
public:
    // One alert as the mail side takes it.
    struct Alert {
        std::string message;    // logged, and the body of the mail
        std::string subject;    // of the mail
        std::int64_t time = 0;  // seconds since 1970: the minimum interval counts by it
        bool failure = false;   // logged as an error (a server that could not be started)
        // The alert in a few words ("game03 down (SIGSEGV)"), for the digest
        // of the alerts the minimum interval holds back.
        std::string digestLine{};
        // False: only logged (the mail's EVENTS= list leaves it out).
        bool mailed = true;
        // Lines the mail adds after the message, gathered when it is sent
        // (not logged); none when empty.
        std::function<std::vector<std::string>()> details{};
    };

    MailAlertSink(MailDelivery& delivery, AlertMailSettingsData settings);

    void alert(const Alert& alert);

    // Alerts held back by the minimum interval are mailed together, as one
    // digest mail, once the interval has passed: when that is (seconds since
    // 1970), while any is held back.
    std::optional<std::int64_t> digestDue() const;
    // Mails the digest when it is due at `now`; true when one was queued.
    bool sendDigest(std::int64_t now);
    // What the digest says of `lines`: "and 19 more: game03 down (SIGSEGV),
    // game04 down (SIGKILL), ..." (a long list cut with "…").
    static std::string digestText(const std::vector<std::string>& lines);

    // The settings the next alert is mailed with.
    void setSettings(AlertMailSettingsData settings) { settings_ = std::move(settings); }
    const AlertMailSettingsData& settings() const { return settings_; }

    // Why these settings mail no alert ("no SMTP server");
    // empty when they do.
    static std::string offReason(const AlertMailSettingsData& settings);

    // Shared with the metrics' thread; they outlive the sink while any mail
    // of it is still on its way.
    std::shared_ptr<const AlertCounters> counters() const { return counters_; }
    AlertCounters& sharedCounters() { return *counters_; }
    AlertThrottle& throttle() { return throttle_; }

private:
    MailDelivery& delivery_;
    AlertMailSettingsData settings_;
    AlertThrottle throttle_;
    std::shared_ptr<AlertCounters> counters_ = std::make_shared<AlertCounters>();
    std::vector<std::string> heldBack_;  // digest lines, oldest first
    std::string heldSubject_;
};
