#include "app/core/TestAlertCommand.h"

#include <ctime>
#include <future>
#include <vector>

#include "alerts/ChannelMessage.h"
#include "alerts/WebhookChannel.h"
#include "alerts/WebhookFormat.h"
#include "config/SettingsFile.h"
#include "mail/AlertDispatch.h"
#include "mail/MailAlertSink.h"
#include "mail/MailDelivery.h"
#include "platform/Text.h"

namespace {

void print(std::FILE* out, const std::string& line) {
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

// The test alert as a mail to the alert recipients; why it failed, or empty.
std::string mailTest(std::FILE* out, const AlertMailSettingsData& settings, const ChannelMessage& message,
                     bool verbose) {
    OutgoingMail mail = MailThrough(settings, "26300 告警邮件", message.text);
    if (verbose) mail.transcript = [out](const std::string& line) { print(out, line); };
    std::promise<MailOutcome> result;
    std::future<MailOutcome> later = result.get_future();
    mail.done = [&result](const MailOutcome& outcome) { result.set_value(outcome); };
    MailDelivery delivery;
    delivery.enqueue(std::move(mail));
    const MailOutcome outcome = later.get();
    delivery.shutdown();
    if (outcome.sent()) return {};
    return outcome.errorText.empty() ? "unknown error" : outcome.errorText;
}

}  // namespace

int RunTestAlertCommand(std::FILE* out, const std::string& channel, bool verbose) {
    std::vector<std::string> warnings;
    const Settings settings = LoadSettings(SettingsFilePath(), warnings);
    for (const std::string& warning : warnings) print(out, "Warning: " + warning);

    const ChannelMessage message = ChannelMessage::test(static_cast<std::int64_t>(std::time(nullptr)));
    const bool all = channel.empty();
    bool found = false;
    int failures = 0;

    if (all || platform::equalsNoCase(channel, "mail")) {
        found = !all;
        const std::string off = MailAlertSink::offReason(settings.mail);
        if (!off.empty()) {
            print(out, "mail: off (" + off + ")");
            if (!all) ++failures;
        } else {
            found = true;
            print(out, "mail: sending a test alert to " + settings.mail.smtpMailTo + " through " +
                           settings.mail.smtpServer);
            const std::string error = mailTest(out, settings.mail, message, verbose);
            print(out, error.empty() ? "mail: sent" : "mail: failed: " + error);
            if (!error.empty()) ++failures;
        }
    }
    for (const WebhookSettingsData& hook : settings.webhooks) {
        if (!all && !platform::equalsNoCase(channel, hook.name)) continue;
        found = true;
        const std::string name = hook.name + " (" + WebhookKindName(hook.kind) + ")";
        print(out, name + ": posting a test alert to " + WebhookFormat::maskedUrl(hook));
        const WebhookChannel sender(hook);
        std::function<void(const std::string&)> trace;
        if (verbose) trace = [out](const std::string& line) { print(out, line); };
        const std::string error = sender.sendNow(message, trace);
        print(out, error.empty() ? name + ": sent" : name + ": failed: " + error);
        if (!error.empty()) ++failures;
    }
    if (!found) {
        std::string names = "mail";
        for (const WebhookSettingsData& hook : settings.webhooks) names += ", " + hook.name;
        print(out, all ? "No alert channel is set up: no SMTP server and no [WEBHOOK.<name>] section in " +
                             SettingsFilePath()
                       : "No alert channel named \"" + channel + "\" (channels: " + names + ")");
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
