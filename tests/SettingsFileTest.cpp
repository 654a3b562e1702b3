#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/AlertMailSettings.h"
#include "config/SettingsFile.h"
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
    "[ALERT_MAIL]\n"
    "SMTP_SERVER=\n"
    "SMTP_PORT=\n"
    "SMTP_USER=\n"
    "SMTP_PASSWORD=\n"
    "SMTP_MAILTO=\n"
    "MIN_ALERT_INTERVAL=5\n";

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

TEST_F(SettingsFileTest, SaveWritesTheSevenKeysInOrderToAnOwnerOnlyFile) {
    SaveSettingsFile(path, 3, "", "", "", "", "", 5);
    EXPECT_EQ(kDefaultFile, readFile(path));
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(SettingsFileTest, SavedValuesLoadBackAndASecondSaveChangesNothing) {
    SaveSettingsFile(path, -5, " smtp.example.com", "465", "用户", "", "a@x;b@y", 0);
    const std::string first = readFile(path);
    EXPECT_EQ(
        "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=-5\n[ALERT_MAIL]\nSMTP_SERVER= smtp.example.com\nSMTP_PORT=465\n"
        "SMTP_USER=用户\nSMTP_PASSWORD=\nSMTP_MAILTO=a@x;b@y\nMIN_ALERT_INTERVAL=0\n",
        first);
    EXPECT_EQ(-5, LoadSettingsFile(path));
    EXPECT_EQ("smtp.example.com", AlertMailSettings.smtpServer);
    EXPECT_EQ("465", AlertMailSettings.smtpPort);
    EXPECT_EQ("用户", AlertMailSettings.smtpUser);
    EXPECT_EQ("", AlertMailSettings.smtpPassword);
    EXPECT_EQ("a@x;b@y", AlertMailSettings.smtpMailTo);
    EXPECT_EQ(0, AlertMailSettings.minAlertInterval);

    SaveSettingsFile(path, -5, " smtp.example.com", "465", "用户", "", "a@x;b@y", 0);
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
        "[GENERAL]\r\n"
        "CHECK_SVR_STATUS_INTERVAL=7\r\n",
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

}  // namespace
