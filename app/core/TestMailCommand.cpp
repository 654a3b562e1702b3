#include "app/core/TestMailCommand.h"

#include <string>

#include "config/AlertMailSettings.h"
#include "config/SettingsFile.h"
#include "mail/AlertDispatch.h"

int RunTestMailCommand(std::FILE* out) {
    LoadSettingsFile();
    const AlertMailSettingsData& s = AlertMailSettings;
    std::fprintf(out, "Sending a test mail through %s:%s as %s to %s\n", s.smtpServer.c_str(),
                 s.smtpPort.empty() ? "(default port)" : s.smtpPort.c_str(), s.smtpUser.c_str(),
                 s.smtpMailTo.empty() ? "(no recipients)" : s.smtpMailTo.c_str());
    std::string error;
    const bool sent = SendMail(error, s.smtpServer, s.smtpPort, s.smtpUser, s.smtpPassword, "Tessera SMTP test mail",
                               "SMTP Setting Test Mail", s.smtpMailTo, "");
    if (sent) {
        std::fprintf(out, "Test mail sent.\n");
        return 0;
    }
    if (error.empty()) error = s.smtpMailTo.empty() ? "no recipients are set (SMTP_MAILTO)" : "unknown error";
    std::fprintf(out, "Test mail failed: %s\n", error.c_str());
    return 1;
}
