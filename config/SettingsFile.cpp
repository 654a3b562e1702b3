#include "config/SettingsFile.h"

#include <algorithm>

#include "config/AppDirectories.h"
#include "config/ProfileFile.h"
#include "platform/FileStore.h"
#include "platform/System.h"
#include "platform/Text.h"

namespace {
constexpr const char* kGeneral = "GENERAL";
constexpr const char* kAlertMail = "ALERT_MAIL";
}  // namespace

std::string SettingsFilePath() { return AppDirectories::settingsPath(); }

namespace {

// Limits above which a value is taken for a mistake rather than a wish.
constexpr std::int64_t kOneDay = 86400;
constexpr std::int64_t kOneHour = 3600;

// A whole-number key, kept within what its use can take: a value above
// `highest` (or beyond 32 bits either way) is used as the nearest one that
// fits, and `warnings` name the key, the value written and the value used.
// `above` says what the limit means ("one day"); null when the limit is
// only the 32-bit range. Small values (an interval below one second) are
// the caller's to judge.
std::int32_t wholeNumber(const ProfileFile& file, const char* section, const char* key, std::int32_t defaultValue,
                         std::int64_t highest, const char* above, std::vector<std::string>& warnings) {
    const std::int64_t read = file.getInt64(section, key, defaultValue);
    if (read <= highest && read >= INT32_MIN) return static_cast<std::int32_t>(read);
    const std::int64_t used = read > highest ? highest : INT32_MIN;
    const std::string why = read > highest && above ? std::string("is above ") + above : "does not fit a 32-bit number";
    warnings.push_back(std::string(key) + "=" + file.getString(section, key, "", 256) + " in " + file.path() + " " +
                       why + "; " + std::to_string(used) + " is used");
    return static_cast<std::int32_t>(used);
}

std::int32_t wholeNumber(const ProfileFile& file, const char* section, const char* key, std::int32_t defaultValue,
                         std::vector<std::string>& warnings) {
    return wholeNumber(file, section, key, defaultValue, INT32_MAX, nullptr, warnings);
}

// "x, y and z".
std::string listed(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += i + 1 == words.size() ? " and " : ", ";
        text += words[i];
    }
    return text;
}

std::vector<std::string> eventList(const ProfileFile& file, const std::string& section,
                                   const std::vector<std::string>& defaults, std::vector<std::string>& warnings) {
    const std::string text = file.getString(section, "EVENTS", "", 1024);
    if (platform::trimWhite(text).empty()) return defaults;
    std::vector<std::string> unknown;
    std::vector<std::string> names = ParseEventList(text, unknown);
    if (!unknown.empty())
        warnings.push_back("procward.ini: [" + section + "] EVENTS names unknown events (" + listed(unknown) +
                           "), which are left out; known: all, " + listed(AlertEventNames()));
    return names;
}

// The [WEBHOOK.<name>] sections: each a channel, or a warning saying why
// it is not one.
std::vector<WebhookSettingsData> webhooks(const ProfileFile& file, std::vector<std::string>& warnings) {
    std::vector<WebhookSettingsData> channels;
    const std::string prefix = "WEBHOOK.";
    for (const std::string& section : file.sectionNames()) {
        if (section.size() < prefix.size() || !platform::equalsNoCase(section.substr(0, prefix.size()), prefix))
            continue;
        const std::string where = "procward.ini: [" + section + "] ";
        WebhookSettingsData hook;
        hook.name = section.substr(prefix.size());
        if (hook.name.empty()) {
            warnings.push_back(where + "has no name after \"WEBHOOK.\"; the section is ignored");
            continue;
        }
        hook.url = file.getString(section, "URL", "", 2048);
        if (hook.url.empty()) {
            warnings.push_back(where + "has no URL; the channel is off");
            continue;
        }
        if (!(platform::equalsNoCase(hook.url.substr(0, 8), "https://") ||
              platform::equalsNoCase(hook.url.substr(0, 7), "http://"))) {
            warnings.push_back(where + "URL does not start with https:// or http://; the channel is off");
            continue;
        }
        const std::string kind = file.getString(section, "KIND", "", 32);
        if (!ParseWebhookKind(kind, hook.kind)) {
            warnings.push_back(where + (kind.empty() ? std::string("has no KIND") : "KIND=" + kind + " is unknown") +
                               " (one of wecom, dingtalk, feishu, slack, json); the channel is off");
            continue;
        }
        hook.secret = file.getString(section, "SECRET", "", 1024);
        hook.events = eventList(file, section, AlertEventNames(), warnings);
        hook.minInterval = wholeNumber(file, section.c_str(), "MIN_INTERVAL", 5, kOneDay, "one day", warnings);
        hook.timeout = wholeNumber(file, section.c_str(), "TIMEOUT", 10, 300, "300 seconds", warnings);
        if (!file.getString(section, "RATE_PER_MINUTE", "", 32).empty()) {
            hook.ratePerMinute =
                wholeNumber(file, section.c_str(), "RATE_PER_MINUTE", -1, 6000, "6000 posts a minute", warnings);
            if (hook.ratePerMinute < 0) {
                warnings.push_back(
                    where + "RATE_PER_MINUTE is below 0; the limit of KIND=" + WebhookKindName(hook.kind) + " is used");
                hook.ratePerMinute = -1;
            }
        }
        if (hook.timeout < 1) {
            warnings.push_back(where + "TIMEOUT is below 1 second; 1 is used");
            hook.timeout = 1;
        }
        const std::string type = file.getString(section, "MSGTYPE", "markdown", 32);
        if (platform::equalsNoCase(type, "text")) {
            hook.text = true;
        } else if (!platform::equalsNoCase(type, "markdown")) {
            warnings.push_back(where + "MSGTYPE=" + type + " is neither markdown nor text; markdown is used");
        }
        if (!hook.secret.empty() && hook.kind != WebhookKind::DingTalk && hook.kind != WebhookKind::Feishu &&
            hook.kind != WebhookKind::Json)
            warnings.push_back(where + "SECRET is not used by KIND=" + WebhookKindName(hook.kind));
        channels.push_back(std::move(hook));
    }
    return channels;
}

// "a,b,c".
std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
    return text;
}

// Brings the [WEBHOOK.<name>] sections to `wanted`. Channels the file reads
// as `wanted` has them are not touched; a changed one gets the keys that
// changed, a new one its URL, KIND and the keys that differ from their
// defaults, and a channel no longer wanted loses its section. Sections the
// reader ignores (no URL, an unknown KIND) were never channels and stay
// as they are, as does every key a section holds beyond these.
void saveWebhooks(ProfileFile& file, const std::vector<WebhookSettingsData>& wanted) {
    std::vector<std::string> ignored;
    const std::vector<WebhookSettingsData> held = webhooks(file, ignored);
    if (held == wanted) return;
    auto named = [](const std::vector<WebhookSettingsData>& hooks, const std::string& name) {
        return std::find_if(hooks.begin(), hooks.end(),
                            [&](const WebhookSettingsData& hook) { return platform::equalsNoCase(hook.name, name); });
    };
    for (const WebhookSettingsData& hook : held)
        if (named(wanted, hook.name) == wanted.end()) file.removeSection("WEBHOOK." + hook.name);
    for (const WebhookSettingsData& hook : wanted) {
        const auto old = named(held, hook.name);
        const bool fresh = old == held.end();
        if (!fresh && *old == hook) continue;
        const WebhookSettingsData before = fresh ? WebhookSettingsData{} : *old;
        const std::string section = "WEBHOOK." + (fresh ? hook.name : old->name);
        if (fresh || hook.url != before.url) file.setString(section, "URL", hook.url);
        if (fresh || hook.kind != before.kind) file.setString(section, "KIND", WebhookKindName(hook.kind));
        if (hook.secret != before.secret) file.setString(section, "SECRET", hook.secret);
        const bool all = hook.events.empty() || hook.events == AlertEventNames();
        const bool allBefore = fresh || before.events.empty() || before.events == AlertEventNames();
        if (all != allBefore || (!all && hook.events != before.events))
            file.setString(section, "EVENTS", all ? "all" : joined(hook.events));
        if (hook.minInterval != before.minInterval)
            file.setString(section, "MIN_INTERVAL", std::to_string(hook.minInterval));
        if (hook.text != before.text) file.setString(section, "MSGTYPE", hook.text ? "text" : "markdown");
        if (hook.timeout != before.timeout) file.setString(section, "TIMEOUT", std::to_string(hook.timeout));
        // Below 0 is the kind's own limit: a key the file holds stays as it is.
        if (hook.ratePerMinute >= 0 && hook.ratePerMinute != before.ratePerMinute)
            file.setString(section, "RATE_PER_MINUTE", std::to_string(hook.ratePerMinute));
    }
}

}  // namespace

bool ReadSettings(const std::string& path, Settings& settings, std::vector<std::string>& warnings, std::string& error) {
    const ProfileFile file(path);
    if (file.readFailed()) {
        error = path + " could not be read";
        return false;
    }
    Settings read;
    GeneralSettingsData& general = read.general;
    general.checkInterval = wholeNumber(file, kGeneral, "CHECK_SVR_STATUS_INTERVAL", 3, kOneDay, "one day", warnings);
    if (general.checkInterval < 1)
        warnings.push_back(
            "CHECK_SVR_STATUS_INTERVAL=" + file.getString(kGeneral, "CHECK_SVR_STATUS_INTERVAL", "", 256) + " in " +
            path + " is below 1 second; checking every second");
    general.restartOnExit = wholeNumber(file, kGeneral, "RESTART_ON_EXIT", 1, warnings) != 0;
    general.stopTimeout = wholeNumber(file, kGeneral, "STOP_TIMEOUT", 10, kOneHour, "one hour", warnings);
    general.restartBackoffMax = wholeNumber(file, kGeneral, "RESTART_BACKOFF_MAX", 60, kOneDay, "one day", warnings);
    general.startConfirm =
        std::max(0, wholeNumber(file, kGeneral, "START_CONFIRM_SECONDS", 1, kOneHour, "one hour", warnings));
    general.logKeepDays = wholeNumber(file, kGeneral, "LOG_KEEP_DAYS", 30, warnings);
    general.logMaxMb = wholeNumber(file, kGeneral, "LOG_MAX_MB", 100, warnings);
    general.rememberStopped = wholeNumber(file, kGeneral, "REMEMBER_STOPPED", 0, warnings) != 0;
    // A megabyte up to a terabyte; below 0 counts as 0 (never rotated).
    general.serverLogMaxMb =
        std::max(0, wholeNumber(file, kGeneral, "SERVER_LOG_MAX_MB", 10, 1024 * 1024, "one terabyte", warnings));
    general.serverLogBackups =
        std::max(0, wholeNumber(file, kGeneral, "SERVER_LOG_BACKUPS", 3, 99, "99 files", warnings));
    general.confirmDangerous = wholeNumber(file, kGeneral, "CONFIRM_DANGEROUS", 1, warnings) != 0;
    general.listBackups = std::max(0, wholeNumber(file, kGeneral, "LIST_BACKUPS", 20, 1000, "1000 copies", warnings));
    general.metricsListen = file.getString("METRICS", "LISTEN", "", 256);

    AlertMailSettingsData& mail = read.mail;
    mail.smtpServer = file.getString(kAlertMail, "SMTP_SERVER", "", 256);
    mail.smtpPort = file.getString(kAlertMail, "SMTP_PORT", "", 32);
    mail.smtpUser = file.getString(kAlertMail, "SMTP_USER", "", 256);
    mail.smtpPassword = file.getString(kAlertMail, "SMTP_PASSWORD", "", 256);
    mail.smtpMailTo = file.getString(kAlertMail, "SMTP_MAILTO", "", 2048);
    mail.smtpFrom = platform::trimWhite(file.getString(kAlertMail, "SMTP_FROM", "", 256));
    mail.minAlertInterval = wholeNumber(file, kAlertMail, "MIN_ALERT_INTERVAL", 5, warnings);
    ParseSmtpSecurity(file.getString(kAlertMail, "SMTP_SECURITY", "auto", 32), mail.smtpSecurity);
    mail.smtpTlsVerify = wholeNumber(file, kAlertMail, "SMTP_TLS_VERIFY", 1, warnings) != 0;
    mail.events = eventList(file, kAlertMail, DefaultMailEvents(), warnings);
    read.webhooks = webhooks(file, warnings);
    mail.alertOutputLines =
        std::max(0, wholeNumber(file, kAlertMail, "ALERT_OUTPUT_LINES", 20, 1000, "1000 lines", warnings));

    for (std::string& warning : SettingsFileWarnings(path)) warnings.push_back(std::move(warning));
    settings = std::move(read);
    return true;
}

Settings LoadSettings(const std::string& path, std::vector<std::string>& warnings) {
    Settings settings;
    std::string error;
    if (!ReadSettings(path, settings, warnings, error)) warnings.push_back(error + "; the defaults are used");
    return settings;
}

std::int32_t ReadLogKeepDays() {
    // Read on its own at start-up, before the rest of the file: the log
    // retention is set up with the log, and the full read warns about bad
    // values into that log.
    std::vector<std::string> ignored;
    return wholeNumber(ProfileFile(SettingsFilePath()), kGeneral, "LOG_KEEP_DAYS", 30, ignored);
}

std::int32_t ReadLogMaxMb() {
    // Read with LOG_KEEP_DAYS, for the same reason.
    std::vector<std::string> ignored;
    return wholeNumber(ProfileFile(SettingsFilePath()), kGeneral, "LOG_MAX_MB", 100, ignored);
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
    bool secretHeld = false;
    for (const std::string& section : file.sectionNames())
        if (section.size() > 8 && platform::equalsNoCase(section.substr(0, 8), "WEBHOOK.") &&
            (!file.getString(section, "SECRET", "", 1024).empty() || !file.getString(section, "URL", "", 2048).empty()))
            secretHeld = true;
    if (secretHeld && platform::readableByOthers(path))
        warnings.push_back("procward.ini holds webhook URLs or secrets and other users can read it: " + path +
                           " should be readable by its owner only (chmod 600)");
    return warnings;
}

bool SaveSettings(const std::string& path, const Settings& settings, std::string& error) {
    const GeneralSettingsData& general = settings.general;
    const AlertMailSettingsData& mail = settings.mail;
    // The replacement keeps the old file's mode, so a file that is to hold
    // a password is narrowed first: the password is never readable by
    // others, not even for a moment.
    if (!mail.smtpPassword.empty() || !settings.webhooks.empty()) platform::restrictToOwner(path);
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
    // Written only when set, or to empty one the file holds.
    if (!mail.smtpFrom.empty() || !file.getString(kAlertMail, "SMTP_FROM", "", 256).empty())
        file.setString(kAlertMail, "SMTP_FROM", mail.smtpFrom);
    file.setString(kAlertMail, "MIN_ALERT_INTERVAL", std::to_string(mail.minAlertInterval));
    file.setString(kAlertMail, "SMTP_SECURITY", SmtpSecurityName(mail.smtpSecurity));
    file.setString(kAlertMail, "SMTP_TLS_VERIFY", mail.smtpTlsVerify ? "1" : "0");
    saveWebhooks(file, settings.webhooks);
    std::string reason;
    if (file.save(reason)) return true;
    error = path + ": " + reason;
    return false;
}
