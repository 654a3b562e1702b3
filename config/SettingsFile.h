#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config/SmtpSecurity.h"

// procward.ini in the configuration directory (beside the executable unless
// another was given).
std::string SettingsFilePath();

// Reads the settings file: returns the check interval (seconds) and fills
// AlertMailSettings. Missing values take their defaults; a value that
// cannot be used and a password that other users can read are logged as
// warnings (the texts of SettingsFileWarnings).
std::int32_t LoadSettingsFile();
std::int32_t LoadSettingsFile(const std::string& path);

// [GENERAL] LOG_KEEP_DAYS of the settings file, default 30.
std::int32_t ReadLogKeepDays();

// What is wrong with the settings file at `path` without stopping it from
// being used: an unknown SMTP_SECURITY (auto is used instead), an SMTP
// password in a file that other users may read. Empty when all is well.
std::vector<std::string> SettingsFileWarnings(const std::string& path);

// Writes all eleven settings (the stop time-out and the restart back-off
// maximum come last so that older callers keep their meaning). A failed write is silent and leaves the old
// file as it was. With a password the file is left readable and writable by
// its owner only, also when it existed with wider access.
void SaveSettingsFile(std::int32_t checkInterval, const std::string& server, const std::string& port,
                      const std::string& user, const std::string& password, const std::string& mailTo,
                      std::int32_t minAlertInterval, SmtpSecurity security = SmtpSecurity::Auto,
                      bool tlsVerify = true, std::int32_t stopTimeout = 10, std::int32_t restartBackoffMax = 0);
void SaveSettingsFile(const std::string& path, std::int32_t checkInterval, const std::string& server,
                      const std::string& port, const std::string& user, const std::string& password,
                      const std::string& mailTo, std::int32_t minAlertInterval,
                      SmtpSecurity security = SmtpSecurity::Auto, bool tlsVerify = true,
                      std::int32_t stopTimeout = 10, std::int32_t restartBackoffMax = 0);
