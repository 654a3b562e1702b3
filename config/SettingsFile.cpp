#include "config/SettingsFile.h"

#include "config/AppDirectories.h"
#include "config/ProfileFile.h"
#include "platform/FileStore.h"
#include "platform/System.h"

namespace {
constexpr const char* kGeneral = "GENERAL";
constexpr const char* kAlertMail = "ALERT_MAIL";
}  // namespace

std::string SettingsFilePath() { return AppDirectories::settingsPath(); }

Settings LoadSettings(const std::string& path, std::vector<std::string>& warnings) {
    const ProfileFile file(path);
    Settings settings;
    GeneralSettingsData& general = settings.general;
    general.checkInterval = file.getInt(kGeneral, "CHECK_SVR_STATUS_INTERVAL", 3);
    if (general.checkInterval < 1)
        warnings.push_back("CHECK_SVR_STATUS_INTERVAL=" +
                           file.getString(kGeneral, "CHECK_SVR_STATUS_INTERVAL", "", 256) + " in " + path +
                           " is below 1 second; checking every second");
    general.restartOnExit = file.getInt(kGeneral, "RESTART_ON_EXIT", 1) != 0;
    general.stopTimeout = file.getInt(kGeneral, "STOP_TIMEOUT", 10);
    general.restartBackoffMax = file.getInt(kGeneral, "RESTART_BACKOFF_MAX", 60);
    general.rememberStopped = file.getInt(kGeneral, "REMEMBER_STOPPED", 0) != 0;
    general.logKeepDays = file.getInt(kGeneral, "LOG_KEEP_DAYS", 30);
    general.metricsListen = file.getString("METRICS", "LISTEN", "", 256);

    AlertMailSettingsData& mail = settings.mail;
    mail.smtpServer = file.getString(kAlertMail, "SMTP_SERVER", "", 256);
    mail.smtpPort = file.getString(kAlertMail, "SMTP_PORT", "", 32);
    mail.smtpUser = file.getString(kAlertMail, "SMTP_USER", "", 256);
    mail.smtpPassword = file.getString(kAlertMail, "SMTP_PASSWORD", "", 256);
    mail.smtpMailTo = file.getString(kAlertMail, "SMTP_MAILTO", "", 2048);
    mail.minAlertInterval = file.getInt(kAlertMail, "MIN_ALERT_INTERVAL", 5);
    ParseSmtpSecurity(file.getString(kAlertMail, "SMTP_SECURITY", "auto", 32), mail.smtpSecurity);
    mail.smtpTlsVerify = file.getInt(kAlertMail, "SMTP_TLS_VERIFY", 1) != 0;

    for (std::string& warning : SettingsFileWarnings(path)) warnings.push_back(std::move(warning));
    return settings;
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

bool SaveSettings(const std::string& path, const Settings& settings, std::string& error) {
    const GeneralSettingsData& general = settings.general;
    const AlertMailSettingsData& mail = settings.mail;
    // The replacement keeps the old file's mode, so a file that is to hold
    // a password is narrowed first: the password is never readable by
    // others, not even for a moment.
    if (!mail.smtpPassword.empty()) platform::restrictToOwner(path);
    // All keys change together: the file is replaced once, as a whole. The
    // stop time-out and the back-off maximum go after the check interval.
    ProfileFile file(path);
    file.setString(kGeneral, "CHECK_SVR_STATUS_INTERVAL", std::to_string(general.checkInterval));
    file.setString(kGeneral, "STOP_TIMEOUT", std::to_string(general.stopTimeout));
    file.setString(kGeneral, "RESTART_BACKOFF_MAX", std::to_string(general.restartBackoffMax));
    file.setString(kAlertMail, "SMTP_SERVER", mail.smtpServer);
    file.setString(kAlertMail, "SMTP_PORT", mail.smtpPort);
    file.setString(kAlertMail, "SMTP_USER", mail.smtpUser);
    file.setString(kAlertMail, "SMTP_PASSWORD", mail.smtpPassword);
    file.setString(kAlertMail, "SMTP_MAILTO", mail.smtpMailTo);
    file.setString(kAlertMail, "MIN_ALERT_INTERVAL", std::to_string(mail.minAlertInterval));
    file.setString(kAlertMail, "SMTP_SECURITY", SmtpSecurityName(mail.smtpSecurity));
    file.setString(kAlertMail, "SMTP_TLS_VERIFY", mail.smtpTlsVerify ? "1" : "0");
    std::string reason;
    if (file.save(reason)) return true;
    error = path + ": " + reason;
    return false;
}
