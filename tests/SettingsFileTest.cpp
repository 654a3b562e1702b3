#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/AlertMailSettings.h"
#include "config/GeneralSettings.h"
#include "config/SettingsFile.h"
#include "log/AppLogger.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TempDir.h"

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("procward.ini");

    void SetUp() override { SetAlertMailSettings("stale", "1", "stale", "stale", "stale", 99); }
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
    EXPECT_EQ(3, LoadSettingsFile(path));
    EXPECT_EQ("", AlertMailSettings.smtpServer);
    EXPECT_EQ("", AlertMailSettings.smtpPort);
    EXPECT_EQ("", AlertMailSettings.smtpUser);
    EXPECT_EQ("", AlertMailSettings.smtpPassword);
    EXPECT_EQ("", AlertMailSettings.smtpMailTo);
    EXPECT_EQ(5, AlertMailSettings.minAlertInterval);
}

TEST_F(SettingsFileTest, GeneralSectionAloneLeavesTheMailDefaults) {
    writeFile(path, "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=10\r\n");
    EXPECT_EQ(10, LoadSettingsFile(path));
    EXPECT_EQ("", AlertMailSettings.smtpServer);
    EXPECT_EQ(5, AlertMailSettings.minAlertInterval);
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
    EXPECT_EQ(-4, LoadSettingsFile(path));
    EXPECT_EQ("mail.example.com", AlertMailSettings.smtpServer);
    EXPECT_EQ("25", AlertMailSettings.smtpPort);
    EXPECT_EQ("alert", AlertMailSettings.smtpUser);
    EXPECT_EQ(" pass word ", AlertMailSettings.smtpPassword);
    EXPECT_EQ("a@example.com; b@example.com;", AlertMailSettings.smtpMailTo);
    EXPECT_EQ(0, AlertMailSettings.minAlertInterval);
}

TEST_F(SettingsFileTest, LongValuesAreCutToTheirBuffers) {
    writeFile(path, "[ALERT_MAIL]\nSMTP_MAILTO=" + std::string(3000, 'm') + "\nSMTP_PORT=" + std::string(40, '2') +
                        "\nSMTP_SERVER=" + std::string(300, 's') + "\nSMTP_USER=" + std::string(256, 'u') +
                        "\nSMTP_PASSWORD=" + std::string(257, 'p') + "\n");
    LoadSettingsFile(path);
    EXPECT_EQ(std::string(2047, 'm'), AlertMailSettings.smtpMailTo);
    EXPECT_EQ(std::string(31, '2'), AlertMailSettings.smtpPort);
    EXPECT_EQ(std::string(255, 's'), AlertMailSettings.smtpServer);
    EXPECT_EQ(std::string(255, 'u'), AlertMailSettings.smtpUser);
    EXPECT_EQ(std::string(255, 'p'), AlertMailSettings.smtpPassword);
}

TEST_F(SettingsFileTest, SaveWritesTheElevenKeysInOrderToAnOwnerOnlyFile) {
    SaveSettingsFile(path, 3, "", "", "", "", "", 5);
    EXPECT_EQ(kDefaultFile, readFile(path));
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(SettingsFileTest, SavedValuesLoadBackAndASecondSaveChangesNothing) {
    SaveSettingsFile(path, -5, " smtp.example.com", "465", "用户", "", "a@x;b@y", 0, SmtpSecurity::Auto, true, 25,
                     300);
    const std::string first = readFile(path);
    EXPECT_EQ(
        "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=-5\nSTOP_TIMEOUT=25\nRESTART_BACKOFF_MAX=300\n[ALERT_MAIL]\nSMTP_SERVER= smtp.example.com\nSMTP_PORT=465\n"
        "SMTP_USER=用户\nSMTP_PASSWORD=\nSMTP_MAILTO=a@x;b@y\nMIN_ALERT_INTERVAL=0\nSMTP_SECURITY=auto\n"
        "SMTP_TLS_VERIFY=1\n",
        first);
    EXPECT_EQ(-5, LoadSettingsFile(path));
    EXPECT_EQ("smtp.example.com", AlertMailSettings.smtpServer);
    EXPECT_EQ("465", AlertMailSettings.smtpPort);
    EXPECT_EQ("用户", AlertMailSettings.smtpUser);
    EXPECT_EQ("", AlertMailSettings.smtpPassword);
    EXPECT_EQ("a@x;b@y", AlertMailSettings.smtpMailTo);
    EXPECT_EQ(0, AlertMailSettings.minAlertInterval);
    EXPECT_EQ(25, GeneralSettings.stopTimeout);
    EXPECT_EQ(300, GeneralSettings.restartBackoffMax);

    SaveSettingsFile(path, -5, " smtp.example.com", "465", "用户", "", "a@x;b@y", 0, SmtpSecurity::Auto, true, 25,
                     300);
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
    SaveSettingsFile(path, 7, "mx", "587", "u", "p", "t@x", 9);
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

TEST_F(SettingsFileTest, FailedWriteLeavesTheOldFile) {
    writeFile(path, kDefaultFile);
    {
        FileSizeLimit limit(100);  // the new file would be longer
        SaveSettingsFile(path, 60, std::string(200, 's'), "25", "u", "p", "t@x", 9);
    }
    EXPECT_EQ(kDefaultFile, readFile(path));
    EXPECT_EQ(3, LoadSettingsFile(path));
}

TEST_F(SettingsFileTest, SaveIntoAMissingDirectoryIsSilent) {
    const std::string nowhere = dir.file("missing/procward.ini");
    SaveSettingsFile(nowhere, 3, "", "", "", "", "", 5);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST_F(SettingsFileTest, SecurityModeAndCertificateCheckLoadAndSave) {
    writeFile(path, "[ALERT_MAIL]\nSMTP_SECURITY = StartTLS \nSMTP_TLS_VERIFY=0\n");
    LoadSettingsFile(path);
    EXPECT_EQ(SmtpSecurity::StartTls, AlertMailSettings.smtpSecurity);
    EXPECT_FALSE(AlertMailSettings.smtpTlsVerify);
    EXPECT_TRUE(SettingsFileWarnings(path).empty());

    for (const SmtpSecurity mode : {SmtpSecurity::Auto, SmtpSecurity::StartTls, SmtpSecurity::Tls, SmtpSecurity::None}) {
        for (const bool verify : {true, false}) {
            SaveSettingsFile(path, 3, "mx", "465", "u", "", "t@x", 5, mode, verify);
            SetAlertMailSettings("", "", "", "", "", 0, SmtpSecurity::Auto, !verify);
            LoadSettingsFile(path);
            EXPECT_EQ(mode, AlertMailSettings.smtpSecurity) << SmtpSecurityName(mode);
            EXPECT_EQ(verify, AlertMailSettings.smtpTlsVerify);
        }
    }
    // The hand-written lines are rewritten where they stand.
    EXPECT_NE(std::string::npos, readFile(path).find("[ALERT_MAIL]\nSMTP_SECURITY =none\nSMTP_TLS_VERIFY=0\n"));
}

TEST_F(SettingsFileTest, UnknownSecurityModeFallsBackToAutoWithAWarning) {
    // Without the key every mail goes the automatic way, certificate checked.
    writeFile(path, "[ALERT_MAIL]\nSMTP_SERVER=mx\n");
    SetAlertMailSettings("", "", "", "", "", 0, SmtpSecurity::None, false);
    LoadSettingsFile(path);
    EXPECT_EQ(SmtpSecurity::Auto, AlertMailSettings.smtpSecurity);
    EXPECT_TRUE(AlertMailSettings.smtpTlsVerify);

    writeFile(path, "[ALERT_MAIL]\nSMTP_SECURITY=ssl\nSMTP_TLS_VERIFY=yes\n");
    LoadSettingsFile(path);
    EXPECT_EQ(SmtpSecurity::Auto, AlertMailSettings.smtpSecurity);
    // Not a number reads as 0, the way every integer key is read.
    EXPECT_FALSE(AlertMailSettings.smtpTlsVerify);
    EXPECT_EQ(std::vector<std::string>{"procward.ini: SMTP_SECURITY=ssl is not one of auto, starttls, tls, none; "
                                       "auto is used"},
              SettingsFileWarnings(path));
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
        // Loading it says so in the log, and still takes the password.
        ScopedWorkingDirectory cwd(dir.path());
        ASSERT_EQ(0, ::mkdir("logs", 0777));
        ASSERT_TRUE(AppLogger::Instance().Init());
        LoadSettingsFile(path);
        EXPECT_EQ("hunter2", AlertMailSettings.smtpPassword);
        std::string logged;
        for (const auto& entry : std::filesystem::directory_iterator("logs")) logged += readFile(entry.path());
        EXPECT_NE(std::string::npos, logged.find("[WARNING]: " + warnings[0] + "\r\n")) << logged;
    }

    // Saving with a password narrows the file, also when nothing else changes.
    SaveSettingsFile(path, 3, "", "", "", "hunter2", "", 5);
    const std::string saved = readFile(path);
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
    SaveSettingsFile(path, 3, "", "", "", "hunter2", "", 5);
    EXPECT_EQ(saved, readFile(path));
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_TRUE(SettingsFileWarnings(path).empty());

    // Without a password the operator's choice of mode stays.
    ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
    SaveSettingsFile(path, 4, "", "", "", "", "", 5);
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
}

}  // namespace
