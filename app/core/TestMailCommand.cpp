#include "app/core/TestMailCommand.h"

#include <future>
#include <string>
#include <vector>

#include "config/SettingsFile.h"
#include "mail/AlertDispatch.h"
#include "mail/MailDelivery.h"

int RunTestMailCommand(std::FILE* out, bool verbose) {
    std::vector<std::string> warnings;
    const Settings settings = LoadSettings(SettingsFilePath(), warnings);
    for (const std::string& warning : warnings) std::fprintf(out, "Warning: %s\n", warning.c_str());
    const AlertMailSettingsData& s = settings.mail;
    std::fprintf(out, "Sending a test mail through %s:%s (security %s%s) as %s to %s\n", s.smtpServer.c_str(),
                 s.smtpPort.empty() ? "(default port)" : s.smtpPort.c_str(), SmtpSecurityName(s.smtpSecurity),
                 s.smtpTlsVerify ? "" : ", certificate not checked", s.smtpUser.c_str(),
                 s.smtpMailTo.empty() ? "(no recipients)" : s.smtpMailTo.c_str());
    std::fflush(out);

    OutgoingMail mail = TestMailThrough(s);
    if (verbose) {
        mail.transcript = [out](const std::string& line) {
            std::fprintf(out, "%s\n", line.c_str());
            std::fflush(out);
        };
    }
    std::promise<MailOutcome> result;
    std::future<MailOutcome> outcomeLater = result.get_future();
    mail.done = [&result](const MailOutcome& outcome) { result.set_value(outcome); };
    // The mail goes the way every mail goes, through a delivery thread; this
    // one is the command's own.
    MailDelivery delivery;
    delivery.enqueue(std::move(mail));
    const MailOutcome outcome = outcomeLater.get();
    delivery.shutdown();

    for (const std::string& warning : outcome.warnings) std::fprintf(out, "Warning: %s\n", warning.c_str());
    if (outcome.sent()) {
        std::fprintf(out, "Test mail sent.\n");
        return 0;
    }
    std::string error = outcome.errorText;
    if (error.empty()) error = s.smtpMailTo.empty() ? "no recipients are set (SMTP_MAILTO)" : "unknown error";
    std::fprintf(out, "Test mail failed: %s\n", error.c_str());
    return 1;
}
