#include "config/SettingsFile.h"

#include "config/AlertMailSettings.h"
#include "config/AppDirectories.h"
#include "config/GeneralSettings.h"
#include "config/ProfileFile.h"
#include "log/AppLogger.h"
#include "platform/FileStore.h"
#include "platform/System.h"

namespace {
constexpr const char* kGeneral = "GENERAL";
constexpr const char* kAlertMail = "ALERT_MAIL";
}  // namespace

std::string SettingsFilePath() { return AppDirectories::settingsPath(); }

std::int32_t LoadSettingsFile() { return LoadSettingsFile(SettingsFilePath()); }

std::int32_t LoadSettingsFile(const std::string& path) {
    const ProfileFile file(path);
    const std::int32_t checkInterval = file.getInt(kGeneral, "CHECK_SVR_STATUS_INTERVAL", 3);
    GeneralSettings.checkInterval = checkInterval;
    if (checkInterval < 1)
        AppLogger::Instance().get().warn("CHECK_SVR_STATUS_INTERVAL={} in {} is below 1 second; checking every second",
                                         file.getString(kGeneral, "CHECK_SVR_STATUS_INTERVAL", "", 256), path);
    GeneralSettings.restartOnExit = file.getInt(kGeneral, "RESTART_ON_EXIT", 1) != 0;
    GeneralSettings.stopTimeout = file.getInt(kGeneral, "STOP_TIMEOUT", 10);
    GeneralSettings.restartBackoffMax = file.getInt(kGeneral, "RESTART_BACKOFF_MAX", 0);
    GeneralSettings.logKeepDays = file.getInt(kGeneral, "LOG_KEEP_DAYS", 30);
    GeneralSettings.metricsListen = file.getString("METRICS", "LISTEN", "", 256);
    std::string server = file.getString(kAlertMail, "SMTP_SERVER", "", 256);
    std::string port = file.getString(kAlertMail, "SMTP_PORT", "", 32);
    std::string user = file.getString(kAlertMail, "SMTP_USER", "", 256);
    std::string password = file.getString(kAlertMail, "SMTP_PASSWORD", "", 256);
    std::string mailTo = file.getString(kAlertMail, "SMTP_MAILTO", "", 2048);
    const std::int32_t minAlertInterval = file.getInt(kAlertMail, "MIN_ALERT_INTERVAL", 5);
    SmtpSecurity security = SmtpSecurity::Auto;
    ParseSmtpSecurity(file.getString(kAlertMail, "SMTP_SECURITY", "auto", 32), security);
    const bool tlsVerify = file.getInt(kAlertMail, "SMTP_TLS_VERIFY", 1) != 0;
    SetAlertMailSettings(std::move(server), std::move(port), std::move(user), std::move(password), std::move(mailTo),
                         minAlertInterval, security, tlsVerify);
    for (const std::string& warning : SettingsFileWarnings(path)) AppLogger::Instance().get().warn("{}", warning);
    return checkInterval;
}

std::int32_t ReadLogKeepDays() {
    // Read on its own at start-up, before the rest of the file: the log
    // retention is set up with the log, and the full read warns about bad
    // values into that log.
    return ProfileFile(SettingsFilePath()).getInt(kGeneral, "LOG_KEEP_DAYS", 30);
}

std::vector<std::string> SettingsFileWarnings(const std::string& path) {
    std::vector<std::string> warnings;
    const ProfileFile file(path);
    const std::string securityText = file.getString(kAlertMail, "SMTP_SECURITY", "auto", 32);
    SmtpSecurity security;
    if (!ParseSmtpSecurity(securityText, security))
        warnings.push_back("procward.ini: SMTP_SECURITY=" + securityText +
                           " is not one of auto, starttls, tls, none; auto is used");
    if (!file.getString(kAlertMail, "SMTP_PASSWORD", "", 256).empty() && platform::readableByOthers(path))
        warnings.push_back("procward.ini holds the SMTP password and other users can read it: " + path +
                           " should be readable by its owner only (chmod 600)");
    return warnings;
}

void SaveSettingsFile(std::int32_t checkInterval, const std::string& server, const std::string& port,
                      const std::string& user, const std::string& password, const std::string& mailTo,
                      std::int32_t minAlertInterval, SmtpSecurity security, bool tlsVerify,
                      std::int32_t stopTimeout, std::int32_t restartBackoffMax) {
    SaveSettingsFile(SettingsFilePath(), checkInterval, server, port, user, password, mailTo, minAlertInterval,
                     security, tlsVerify, stopTimeout, restartBackoffMax);
}

void SaveSettingsFile(const std::string& path, std::int32_t checkInterval, const std::string& server,
                      const std::string& port, const std::string& user, const std::string& password,
                      const std::string& mailTo, std::int32_t minAlertInterval, SmtpSecurity security,
                      bool tlsVerify, std::int32_t stopTimeout, std::int32_t restartBackoffMax) {
    // The replacement keeps the old file's mode, so a file that is to hold
    // a password is narrowed first: the password is never readable by
    // others, not even for a moment.
    if (!password.empty()) platform::restrictToOwner(path);
    // All keys change together: the file is replaced once, as a whole.
    ProfileFile file(path);
    file.setString(kGeneral, "CHECK_SVR_STATUS_INTERVAL", std::to_string(checkInterval));
    file.setString(kGeneral, "STOP_TIMEOUT", std::to_string(stopTimeout));
    file.setString(kGeneral, "RESTART_BACKOFF_MAX", std::to_string(restartBackoffMax));
    file.setString(kAlertMail, "SMTP_SERVER", server);
    file.setString(kAlertMail, "SMTP_PORT", port);
    file.setString(kAlertMail, "SMTP_USER", user);
    file.setString(kAlertMail, "SMTP_PASSWORD", password);
    file.setString(kAlertMail, "SMTP_MAILTO", mailTo);
    file.setString(kAlertMail, "MIN_ALERT_INTERVAL", std::to_string(minAlertInterval));
    file.setString(kAlertMail, "SMTP_SECURITY", SmtpSecurityName(security));
    file.setString(kAlertMail, "SMTP_TLS_VERIFY", tlsVerify ? "1" : "0");
    file.save();  // a failure is not reported; the old file stays
}
