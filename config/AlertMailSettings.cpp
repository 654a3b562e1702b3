#include "config/AlertMailSettings.h"

AlertMailSettingsData AlertMailSettings;

void SetAlertMailSettings(std::string server, std::string port, std::string user, std::string password,
                          std::string mailTo, std::int32_t minAlertInterval, SmtpSecurity security, bool tlsVerify) {
    AlertMailSettings.smtpServer = std::move(server);
    AlertMailSettings.smtpPort = std::move(port);
    AlertMailSettings.smtpUser = std::move(user);
    AlertMailSettings.smtpPassword = std::move(password);
    AlertMailSettings.smtpMailTo = std::move(mailTo);
    AlertMailSettings.minAlertInterval = minAlertInterval;
    AlertMailSettings.smtpSecurity = security;
    AlertMailSettings.smtpTlsVerify = tlsVerify;
}
