#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/AlertMailSettingsData.h"
#include "mail/AlertCounters.h"
#include "mail/AlertThrottle.h"
#include "mail/UnsentAlerts.h"

class MailDelivery;

// Alerts as mail: each is written to the log and mailed through the
// delivery thread with the settings in force, at most one mail per minimum
// alert interval. The first alert after a quiet interval is mailed at once;
// those that follow within the interval are held back and mailed together,
// as one digest mail, when it ends, each with its own lines (how the process
// ended, its last output). An alert that could not be mailed is named in the
// next mail that goes through. Without an SMTP server or a recipient the
// mail is off: alerts are only logged, and no mail is tried. Its counters
// tell the metrics how the alerts fared. Everything but the sending runs on
// the caller's thread, which never waits for a mail.
class MailAlertSink {
public:
    // One alert as the mail side takes it.
    struct Alert {
        std::string message;    // logged, and the body of the mail
        std::string subject;    // of the mail
        std::int64_t time = 0;  // seconds since 1970: the minimum interval counts by it
        bool failure = false;   // logged as an error (a server that could not be started)
        // The alert in a few words ("game03 down (SIGSEGV)"), for the digest
        // and for the note of alerts that could not be sent.
        std::string digestLine{};
        // False: only logged (the mail's EVENTS= list leaves it out).
        bool mailed = true;
        // Lines the mail adds after the message, gathered when it is sent
        // (not logged); none when empty.
        std::function<std::vector<std::string>()> details{};
    };

    MailAlertSink(MailDelivery& delivery, AlertMailSettingsData settings);

    void alert(const Alert& alert);

    // The digest of the alerts held back is due when the minimum interval
    // has passed since the last mail: when that is (seconds since 1970),
    // while any is held back.
    std::optional<std::int64_t> digestDue() const;
    // Mails the digest when it is due at `now`; true when one was queued.
    bool sendDigest(std::int64_t now);
    // Mails the digest of whatever is held back now, due or not (at exit).
    bool flush(std::int64_t now);
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
    // When the last alert or digest mail was queued: the interval counts from it.
    const AlertThrottle& throttle() const { return throttle_; }
    // Alerts that could not be mailed and wait to be named.
    const UnsentAlerts& unsent() const { return *unsent_; }

private:
    struct Held {
        std::string line;     // in a few words
        std::string message;  // the alert's own text
        std::function<std::vector<std::string>()> details;
    };

    // Queues a mail of `body` and `lines` (gathered on the delivery thread)
    // that carries the alerts `named`.
    void mailDigest(std::int64_t now);
    void queue(const std::string& subject, const std::string& body, std::function<std::vector<std::string>()> lines,
               std::vector<std::string> named);

    MailDelivery& delivery_;
    AlertMailSettingsData settings_;
    std::shared_ptr<AlertCounters> counters_ = std::make_shared<AlertCounters>();
    std::shared_ptr<UnsentAlerts> unsent_ = std::make_shared<UnsentAlerts>();
    AlertThrottle throttle_;
    std::vector<Held> held_;  // oldest first
    std::string heldSubject_;
};
