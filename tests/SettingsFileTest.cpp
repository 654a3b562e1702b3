#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/SettingsFile.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TempDir.h"

namespace {

// The settings the dialog writes, in its order.
Settings values(std::int32_t checkInterval, const std::string& server, const std::string& port,
                const std::string& user, const std::string& password, const std::string& mailTo,
                std::int32_t minAlertInterval, SmtpSecurity security = SmtpSecurity::Auto, bool tlsVerify = true,
                std::int32_t stopTimeout = 10, std::int32_t restartBackoffMax = 0) {
    Settings settings;
    settings.general.checkInterval = checkInterval;
    settings.general.stopTimeout = stopTimeout;
    settings.general.restartBackoffMax = restartBackoffMax;
    settings.mail.smtpServer = server;
    settings.mail.smtpPort = port;
    settings.mail.smtpUser = user;
    settings.mail.smtpPassword = password;
    settings.mail.smtpMailTo = mailTo;
    settings.mail.minAlertInterval = minAlertInterval;
    settings.mail.smtpSecurity = security;
    settings.mail.smtpTlsVerify = tlsVerify;
    return settings;
}

class SettingsFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("procward.ini");

    Settings load() {
        std::vector<std::string> warnings;
        return LoadSettings(path, warnings);
    }
    bool save(const Settings& settings) {
        std::string error;
        return SaveSettings(path, settings, error);
    }
};

const char* const kDefaultFile =
    "[GENERAL]\n"
    "CHECK_SVR_STATUS_INTERVAL=3\n"
    "STOP_TIMEOUT=10\n"
    "RESTART_BACKOFF_MAX=0\n"
    "[ALERT_MAIL]\n"
    "SMTP_SERVER=\n"
    "SMTP_PORT=\n"
    "SMTP_USER=\n"
    "SMTP_PASSWORD=\n"
    "SMTP_MAILTO=\n"
    "MIN_ALERT_INTERVAL=5\n"
    "SMTP_SECURITY=auto\n"
    "SMTP_TLS_VERIFY=1\n";

TEST_F(SettingsFileTest, NoFileGivesTheDefaults) {
    std::vector<std::string> warnings;
    const Settings settings = LoadSettings(path, warnings);
    EXPECT_EQ(Settings{}, settings);
    EXPECT_EQ(3, settings.general.checkInterval);
    EXPECT_EQ(10, settings.general.stopTimeout);
    // A broken server costs one launch a minute at most.
    EXPECT_EQ(60, settings.general.restartBackoffMax);
    EXPECT_FALSE(settings.general.rememberStopped);
    EXPECT_TRUE(settings.general.restartOnExit);
    // The window asks before quitting and deleting.
    EXPECT_TRUE(settings.general.confirmDangerous);
    EXPECT_EQ(30, settings.general.logKeepDays);
    EXPECT_EQ("", settings.general.metricsListen);
    EXPECT_EQ("", settings.mail.smtpServer);
    EXPECT_EQ("", settings.mail.smtpPort);
    EXPECT_EQ("", settings.mail.smtpUser);
    EXPECT_EQ("", settings.mail.smtpPassword);
    EXPECT_EQ("", settings.mail.smtpMailTo);
    EXPECT_EQ(5, settings.mail.minAlertInterval);
    EXPECT_TRUE(warnings.empty());
}

TEST_F(SettingsFileTest, GeneralSectionAloneLeavesTheMailDefaults) {
    writeFile(path, "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=10\r\nRESTART_ON_EXIT=0\r\nCONFIRM_DANGEROUS=0\r\n[METRICS]\r\nLISTEN=127.0.0.1:9464\r\n");
    const Settings settings = load();
    EXPECT_EQ(10, settings.general.checkInterval);
    EXPECT_FALSE(settings.general.restartOnExit);
    EXPECT_FALSE(settings.general.confirmDangerous);
    EXPECT_EQ("127.0.0.1:9464", settings.general.metricsListen);
    EXPECT_EQ(AlertMailSettingsData{}, settings.mail);
}

TEST_F(SettingsFileTest, HandWrittenFileInAnyOrderIsRead) {
    writeFile(path,
              "[alert_mail]\n"
              "MIN_ALERT_INTERVAL = 0\n"
              "smtp_mailto = a@example.com; b@example.com;\n"
              "SMTP_PASSWORD=\" pass word \"\n"
              "SMTP_USER=alert\n"
              "SMTP_PORT=25\n"
              "SMTP_SERVER=  mail.example.com\t\n"
              "[GENERAL]\n"
              "CHECK_SVR_STATUS_INTERVAL=-4\n");
    std::vector<std::string> warnings;
    const Settings settings = LoadSettings(path, warnings);
    EXPECT_EQ(-4, settings.general.checkInterval);
    EXPECT_EQ("mail.example.com", settings.mail.smtpServer);
    EXPECT_EQ("25", settings.mail.smtpPort);
    EXPECT_EQ("alert", settings.mail.smtpUser);
    EXPECT_EQ(" pass word ", settings.mail.smtpPassword);
    EXPECT_EQ("a@example.com; b@example.com;", settings.mail.smtpMailTo);
    EXPECT_EQ(0, settings.mail.minAlertInterval);
    // The interval is used as one second, and the loader says so (before
    // what it has to say of the password that others may read).
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ("CHECK_SVR_STATUS_INTERVAL=-4 in " + path + " is below 1 second; checking every second", warnings[0]);
}

TEST_F(SettingsFileTest, ValuesOutOfRangeAreClampedWithAWarningNamingTheKeyAndTheValueUsed) {
    writeFile(path,
              "[GENERAL]\n"
              "CHECK_SVR_STATUS_INTERVAL=99999999999\n"
              "STOP_TIMEOUT=4294967297\n"
              "RESTART_BACKOFF_MAX=86401\n"
              "LOG_KEEP_DAYS=-99999999999999999999999\n"
              "[ALERT_MAIL]\n"
              "MIN_ALERT_INTERVAL=2147483648\n");
    std::vector<std::string> warnings;
    const Settings settings = LoadSettings(path, warnings);
    // Not wrapped round (to 1,215,752,191 and 1): the largest sane values.
    EXPECT_EQ(86400, settings.general.checkInterval);
    EXPECT_EQ(3600, settings.general.stopTimeout);
    EXPECT_EQ(86400, settings.general.restartBackoffMax);
    EXPECT_EQ(INT32_MIN, settings.general.logKeepDays);
    EXPECT_EQ(INT32_MAX, settings.mail.minAlertInterval);
    const std::vector<std::string> expected = {
        "CHECK_SVR_STATUS_INTERVAL=99999999999 in " + path + " is above one day; 86400 is used",
        "STOP_TIMEOUT=4294967297 in " + path + " is above one hour; 3600 is used",
        "RESTART_BACKOFF_MAX=86401 in " + path + " is above one day; 86400 is used",
        "LOG_KEEP_DAYS=-99999999999999999999999 in " + path + " does not fit a 32-bit number; -2147483648 is used",
        "MIN_ALERT_INTERVAL=2147483648 in " + path + " does not fit a 32-bit number; 2147483647 is used"};
    EXPECT_EQ(expected, warnings);

    // The limits themselves pass without a word.
    writeFile(path, "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=86400\nSTOP_TIMEOUT=3600\nRESTART_BACKOFF_MAX=86400\n");
    warnings.clear();
    const Settings limits = LoadSettings(path, warnings);
    EXPECT_EQ(86400, limits.general.checkInterval);
    EXPECT_EQ(3600, limits.general.stopTimeout);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
}

TEST_F(SettingsFileTest, AFileThatCannotBeReadIsRefusedByTheStrictReaderAndGivesDefaultsOtherwise) {
    // A directory in the file's place cannot be read, even by root.
    std::filesystem::create_directory(path);
    Settings settings;
    settings.general.checkInterval = 7;
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_FALSE(ReadSettings(path, settings, warnings, error));
    EXPECT_EQ(path + " could not be read", error);
    EXPECT_EQ(7, settings.general.checkInterval);  // untouched
    EXPECT_EQ(Settings{}, LoadSettings(path, warnings));
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(path + " could not be read; the defaults are used", warnings[0]);
}

TEST_F(SettingsFileTest, LongValuesAreCutToTheirBuffers) {
    writeFile(path, "[ALERT_MAIL]\nSMTP_MAILTO=" + std::string(3000, 'm') + "\nSMTP_PORT=" + std::string(40, '2') +
                        "\nSMTP_SERVER=" + std::string(300, 's') + "\nSMTP_USER=" + std::string(256, 'u') +
                        "\nSMTP_PASSWORD=" + std::string(257, 'p') + "\n");
    const AlertMailSettingsData mail = load().mail;
    EXPECT_EQ(std::string(2047, 'm'), mail.smtpMailTo);
    EXPECT_EQ(std::string(31, '2'), mail.smtpPort);
    EXPECT_EQ(std::string(255, 's'), mail.smtpServer);
    EXPECT_EQ(std::string(255, 'u'), mail.smtpUser);
    EXPECT_EQ(std::string(255, 'p'), mail.smtpPassword);
}

TEST_F(SettingsFileTest, SaveWritesTheElevenKeysInOrderToAnOwnerOnlyFile) {
    EXPECT_TRUE(save(values(3, "", "", "", "", "", 5)));
    EXPECT_EQ(kDefaultFile, readFile(path));
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(SettingsFileTest, SavedValuesLoadBackAndASecondSaveChangesNothing) {
    const Settings saved = values(-5, " smtp.example.com", "465", "用户", "", "a@x;b@y", 0, SmtpSecurity::Auto, true, 25, 300);
    EXPECT_TRUE(save(saved));
    const std::string first = readFile(path);
    EXPECT_EQ(
        "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=-5\nSTOP_TIMEOUT=25\nRESTART_BACKOFF_MAX=300\n[ALERT_MAIL]\nSMTP_SERVER= smtp.example.com\nSMTP_PORT=465\n"
        "SMTP_USER=用户\nSMTP_PASSWORD=\nSMTP_MAILTO=a@x;b@y\nMIN_ALERT_INTERVAL=0\nSMTP_SECURITY=auto\n"
        "SMTP_TLS_VERIFY=1\n",
        first);
    const Settings loaded = load();
    EXPECT_EQ(-5, loaded.general.checkInterval);
    EXPECT_EQ("smtp.example.com", loaded.mail.smtpServer);
    EXPECT_EQ("465", loaded.mail.smtpPort);
    EXPECT_EQ("用户", loaded.mail.smtpUser);
    EXPECT_EQ("", loaded.mail.smtpPassword);
    EXPECT_EQ("a@x;b@y", loaded.mail.smtpMailTo);
    EXPECT_EQ(0, loaded.mail.minAlertInterval);
    EXPECT_EQ(25, loaded.general.stopTimeout);
    EXPECT_EQ(300, loaded.general.restartBackoffMax);

    EXPECT_TRUE(save(saved));
    EXPECT_EQ(first, readFile(path));
}

TEST_F(SettingsFileTest, SaveKeepsForeignLinesAndTheirOrder) {
    const std::string handWritten =
        "; Procward settings\r\n"
        "[ALERT_MAIL]\r\n"
        "smtp_port=25\r\n"
        "EXTRA=kept\r\n"
        "[GENERAL]\r\n"
        "CHECK_SVR_STATUS_INTERVAL=3\r\n";
    writeFile(path, handWritten);
    EXPECT_TRUE(save(values(7, "mx", "587", "u", "p", "t@x", 9)));
    EXPECT_EQ(
        "; Procward settings\r\n"
        "[ALERT_MAIL]\r\n"
        "smtp_port=587\r\n"
        "EXTRA=kept\r\n"
        "SMTP_SERVER=mx\r\n"
        "SMTP_USER=u\r\n"
        "SMTP_PASSWORD=p\r\n"
        "SMTP_MAILTO=t@x\r\n"
        "MIN_ALERT_INTERVAL=9\r\n"
        "SMTP_SECURITY=auto\r\n"
        "SMTP_TLS_VERIFY=1\r\n"
        "[GENERAL]\r\n"
        "CHECK_SVR_STATUS_INTERVAL=7\r\n"
        "STOP_TIMEOUT=10\r\n"
        "RESTART_BACKOFF_MAX=0\r\n",
        readFile(path));
}

TEST_F(SettingsFileTest, AFailedWriteSaysWhyAndLeavesTheOldFile) {
    writeFile(path, kDefaultFile);
    std::string error;
    {
        FileSizeLimit limit(100);  // the new file would be longer
        EXPECT_FALSE(SaveSettings(path, values(60, std::string(200, 's'), "25", "u", "p", "t@x", 9), error));
    }
    EXPECT_EQ(path + ": " + std::strerror(EFBIG), error);
    EXPECT_EQ(kDefaultFile, readFile(path));
    EXPECT_EQ(3, load().general.checkInterval);
    // No temporary file is left behind.
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()));
}

TEST_F(SettingsFileTest, SaveIntoAMissingDirectoryFailsWithTheReason) {
    const std::string nowhere = dir.file("missing/procward.ini");
    std::string error;
    EXPECT_FALSE(SaveSettings(nowhere, values(3, "", "", "", "", "", 5), error));
    EXPECT_EQ(nowhere + ": " + std::strerror(ENOENT), error);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST_F(SettingsFileTest, SaveIntoADirectoryTheUserMayNotWriteFailsAndLeavesTheOldFile) {
    // Root may write anywhere: the save runs in a child as nobody, against
    // a directory and a file only root may write.
    writeFile(path, kDefaultFile);
    ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    int channel[2];
    ASSERT_EQ(0, ::pipe(channel));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        std::string error;
        const bool saved = SaveSettings(path, values(60, "mx", "25", "u", "", "t@x", 9), error);
        const ssize_t written = ::write(channel[1], error.data(), error.size());
        ::_exit(saved ? 0 : written >= 0 ? 1 : 3);
    }
    ::close(channel[1]);
    std::string error;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) error.append(buffer, static_cast<std::size_t>(n));
    ::close(channel[0]);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(1, WEXITSTATUS(status)) << error;
    EXPECT_EQ(path + ": " + std::strerror(EACCES), error);
    EXPECT_EQ(kDefaultFile, readFile(path));
}

TEST_F(SettingsFileTest, SecurityModeAndCertificateCheckLoadAndSave) {
    writeFile(path, "[ALERT_MAIL]\nSMTP_SECURITY = StartTLS \nSMTP_TLS_VERIFY=0\n");
    EXPECT_EQ(SmtpSecurity::StartTls, load().mail.smtpSecurity);
    EXPECT_FALSE(load().mail.smtpTlsVerify);
    EXPECT_TRUE(SettingsFileWarnings(path).empty());

    for (const SmtpSecurity mode : {SmtpSecurity::Auto, SmtpSecurity::StartTls, SmtpSecurity::Tls, SmtpSecurity::None}) {
        for (const bool verify : {true, false}) {
            EXPECT_TRUE(save(values(3, "mx", "465", "u", "", "t@x", 5, mode, verify)));
            const Settings loaded = load();
            EXPECT_EQ(mode, loaded.mail.smtpSecurity) << SmtpSecurityName(mode);
            EXPECT_EQ(verify, loaded.mail.smtpTlsVerify);
        }
    }
    // The hand-written lines are rewritten where they stand.
    EXPECT_NE(std::string::npos, readFile(path).find("[ALERT_MAIL]\nSMTP_SECURITY =none\nSMTP_TLS_VERIFY=0\n"));
}

TEST_F(SettingsFileTest, UnknownSecurityModeFallsBackToAutoWithAWarning) {
    // Without the key every mail goes the automatic way, certificate checked.
    writeFile(path, "[ALERT_MAIL]\nSMTP_SERVER=mx\n");
    EXPECT_EQ(SmtpSecurity::Auto, load().mail.smtpSecurity);
    EXPECT_TRUE(load().mail.smtpTlsVerify);

    writeFile(path, "[ALERT_MAIL]\nSMTP_SECURITY=ssl\nSMTP_TLS_VERIFY=yes\n");
    std::vector<std::string> warnings;
    const Settings settings = LoadSettings(path, warnings);
    EXPECT_EQ(SmtpSecurity::Auto, settings.mail.smtpSecurity);
    // Not a number reads as 0, the way every integer key is read.
    EXPECT_FALSE(settings.mail.smtpTlsVerify);
    const std::vector<std::string> expected{"procward.ini: SMTP_SECURITY=ssl is not one of auto, starttls, tls, none; "
                                            "auto is used"};
    EXPECT_EQ(expected, SettingsFileWarnings(path));
    EXPECT_EQ(expected, warnings);
}

TEST_F(SettingsFileTest, APasswordIsKeptFromOtherUsers) {
    // A file written by hand, readable by everybody.
    writeFile(path, kDefaultFile);
    ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
    EXPECT_TRUE(SettingsFileWarnings(path).empty());  // no password in it yet

    writeFile(path, "[ALERT_MAIL]\nSMTP_PASSWORD=hunter2\n");
    ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
    const auto warnings = SettingsFileWarnings(path);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ("procward.ini holds the SMTP password and other users can read it: " + path +
                  " should be readable by its owner only (chmod 600)",
              warnings[0]);
    {
        // Loading it says so, and still takes the password.
        std::vector<std::string> loaderWarnings;
        EXPECT_EQ("hunter2", LoadSettings(path, loaderWarnings).mail.smtpPassword);
        EXPECT_EQ(warnings, loaderWarnings);
    }

    // Saving with a password narrows the file, also when nothing else changes.
    EXPECT_TRUE(save(values(3, "", "", "", "hunter2", "", 5)));
    const std::string saved = readFile(path);
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
    EXPECT_TRUE(save(values(3, "", "", "", "hunter2", "", 5)));
    EXPECT_EQ(saved, readFile(path));
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_TRUE(SettingsFileWarnings(path).empty());

    // Without a password the operator's choice of mode stays.
    ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
    EXPECT_TRUE(save(values(4, "", "", "", "", "", 5)));
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
}

}  // namespace

namespace {

class WebhookSettingsTest : public SettingsFileTest {
protected:
    Settings load(std::vector<std::string>& warnings) { return LoadSettings(path, warnings); }
};

TEST_F(WebhookSettingsTest, EachWebhookSectionIsAChannelWithItsKeys) {
    writeFile(path,
              "[ALERT_MAIL]\nSMTP_SERVER=mail.example.test\nEVENTS=down, recovered\nSMTP_FROM= alerts@ops.example.test \n"
              "[WEBHOOK.ops]\nURL=https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=abc\nKIND=WeCom\n"
              "MSGTYPE=text\nMIN_INTERVAL=30\nEVENTS=down restarted,Recovered\nRATE_PER_MINUTE=6\n"
              "[webhook.ding]\nURL=\"https://oapi.dingtalk.com/robot/send?access_token=t\"\nKIND=dingtalk\n"
              "SECRET=SECabc\nTIMEOUT=3\n");
    ::chmod(path.c_str(), 0600);
    std::vector<std::string> warnings;
    const Settings settings = load(warnings);
    EXPECT_TRUE(warnings.empty()) << warnings[0];
    EXPECT_EQ((std::vector<std::string>{"down", "recovered"}), settings.mail.events);
    EXPECT_EQ("alerts@ops.example.test", settings.mail.smtpFrom);
    ASSERT_EQ(2u, settings.webhooks.size());
    const WebhookSettingsData& ops = settings.webhooks[0];
    EXPECT_EQ("ops", ops.name);
    EXPECT_EQ(WebhookKind::WeCom, ops.kind);
    EXPECT_EQ("https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=abc", ops.url);
    EXPECT_TRUE(ops.text);
    EXPECT_EQ(30, ops.minInterval);
    EXPECT_EQ(10, ops.timeout);
    EXPECT_EQ((std::vector<std::string>{"down", "restarted", "recovered"}), ops.events);
    EXPECT_EQ((PostBudget{6, 60000}), PostBudgetOf(ops));
    const WebhookSettingsData& ding = settings.webhooks[1];
    EXPECT_EQ("ding", ding.name);
    EXPECT_EQ(WebhookKind::DingTalk, ding.kind);
    EXPECT_EQ("https://oapi.dingtalk.com/robot/send?access_token=t", ding.url);
    EXPECT_EQ("SECabc", ding.secret);
    EXPECT_EQ(3, ding.timeout);
    EXPECT_EQ(5, ding.minInterval);
    EXPECT_FALSE(ding.text);
    // Without EVENTS= a webhook gets every event; without RATE_PER_MINUTE
    // its robot's own budget holds.
    EXPECT_EQ(AlertEventNames(), ding.events);
    EXPECT_EQ(-1, ding.ratePerMinute);
    EXPECT_EQ((PostBudget{20, 60000}), PostBudgetOf(ding));

    // Saved back: the keys stay, a changed budget is written, the kind's
    // own is left to the file.
    Settings changed = settings;
    changed.webhooks[0].ratePerMinute = 0;
    changed.webhooks[1].ratePerMinute = -1;
    ASSERT_TRUE(save(changed));
    const std::string text = readFile(path);
    EXPECT_NE(std::string::npos, text.find("SMTP_FROM=alerts@ops.example.test\n")) << text;
    EXPECT_NE(std::string::npos, text.find("RATE_PER_MINUTE=0\n")) << text;
    EXPECT_EQ(text.find("RATE_PER_MINUTE"), text.rfind("RATE_PER_MINUTE")) << text;
    std::vector<std::string> again;
    const Settings reloaded = load(again);
    EXPECT_EQ(0, reloaded.webhooks[0].ratePerMinute);
    EXPECT_EQ((PostBudget{0, 60000}), PostBudgetOf(reloaded.webhooks[0]));  // no limit
    EXPECT_EQ(-1, reloaded.webhooks[1].ratePerMinute);
    EXPECT_EQ((PostBudget{1, 1000}), DefaultPostBudget(WebhookKind::Slack));
}

TEST_F(WebhookSettingsTest, MistakesAreNamedAndAChannelWithoutWhereOrHowIsOff) {
    writeFile(path,
              "[ALERT_MAIL]\nEVENTS=down,exploded\n"
              "[WEBHOOK.nourl]\nKIND=slack\n"
              "[WEBHOOK.ftp]\nURL=ftp://example.test/x\nKIND=slack\n"
              "[WEBHOOK.nokind]\nURL=https://example.test/x\n"
              "[WEBHOOK.badkind]\nURL=https://example.test/x\nKIND=teams\n"
              "[WEBHOOK.]\nURL=https://example.test/x\nKIND=slack\n"
              "[WEBHOOK.ok]\nURL=https://example.test/x\nKIND=slack\nMSGTYPE=card\nEVENTS=nothing\n"
              "RATE_PER_MINUTE=-3\n");
    ::chmod(path.c_str(), 0600);
    std::vector<std::string> warnings;
    const Settings settings = load(warnings);
    EXPECT_EQ((std::vector<std::string>{"down"}), settings.mail.events);
    ASSERT_EQ(1u, settings.webhooks.size());
    EXPECT_EQ("ok", settings.webhooks[0].name);
    EXPECT_TRUE(settings.webhooks[0].events.empty());
    const std::vector<std::string> expected{
        "procward.ini: [ALERT_MAIL] EVENTS names unknown events (exploded), which are left out; known: all, down, "
        "server-started, restarted, start-failed, keeps-failing, recovered, unhealthy, healthy, stopped, started and "
        "stopping",
        "procward.ini: [WEBHOOK.nourl] has no URL; the channel is off",
        "procward.ini: [WEBHOOK.ftp] URL does not start with https:// or http://; the channel is off",
        "procward.ini: [WEBHOOK.nokind] has no KIND (one of wecom, dingtalk, feishu, slack, json); the channel is off",
        "procward.ini: [WEBHOOK.badkind] KIND=teams is unknown (one of wecom, dingtalk, feishu, slack, json); the "
        "channel is off",
        "procward.ini: [WEBHOOK.] has no name after \"WEBHOOK.\"; the section is ignored",
        "procward.ini: [WEBHOOK.ok] EVENTS names unknown events (nothing), which are left out; known: all, down, "
        "server-started, restarted, start-failed, keeps-failing, recovered, unhealthy, healthy, stopped, started and "
        "stopping",
        "procward.ini: [WEBHOOK.ok] RATE_PER_MINUTE is below 0; the limit of KIND=slack is used",
        "procward.ini: [WEBHOOK.ok] MSGTYPE=card is neither markdown nor text; markdown is used",
    };
    EXPECT_EQ(expected, warnings);
}

TEST_F(WebhookSettingsTest, MailGetsAllButTheSupervisorsOwnEventsByDefaultAndAReadableSecretIsNamed) {
    writeFile(path, "[WEBHOOK.ops]\nURL=https://example.test/hook/abcdefgh\nKIND=json\nSECRET=s\n");
    ::chmod(path.c_str(), 0644);
    std::vector<std::string> warnings;
    const Settings settings = load(warnings);
    EXPECT_EQ((std::vector<std::string>{"down", "server-started", "restarted", "start-failed", "keeps-failing",
                                        "recovered", "unhealthy", "healthy"}),
              settings.mail.events);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find("procward.ini holds webhook URLs or secrets and other users can read it")) << warnings[0];
}

}  // namespace
