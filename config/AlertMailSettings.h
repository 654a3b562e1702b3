#pragma once
#include <cstdint>
#include <string>

#include "config/SmtpSecurity.h"

// The alert-mail settings in force, one record for the whole process.
struct AlertMailSettingsData {
    std::string smtpServer;
    std::string smtpPort;  // decimal digits, kept as text
    std::string smtpUser;
    std::string smtpPassword;
    std::string smtpMailTo;  // addresses separated by ";"
    std::int32_t minAlertInterval = 5;  // seconds
    SmtpSecurity smtpSecurity = SmtpSecurity::Auto;
    bool smtpTlsVerify = true;  // false: any server certificate is taken
};

extern AlertMailSettingsData AlertMailSettings;

// Replaces the whole record.
void SetAlertMailSettings(std::string server, std::string port, std::string user, std::string password,
                          std::string mailTo, std::int32_t minAlertInterval,
                          SmtpSecurity security = SmtpSecurity::Auto, bool tlsVerify = true);
