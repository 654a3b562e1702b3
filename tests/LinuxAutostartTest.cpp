#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "config/AppDirectories.h"
#include "log/AppLogger.h"
#include "platform/System.h"
#include "platform/linux/LinuxAutostart.h"
#include "tests/support/TempDir.h"
#include "ui/model/AutoRun.h"

namespace {

// Every test points the desktop's configuration at its own directory, so
// nothing is registered on the machine.
class LinuxAutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) previous_ = old;
        ::setenv("XDG_CONFIG_HOME", config().c_str(), 1);
    }
    void TearDown() override {
        if (previous_) ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
        else ::unsetenv("XDG_CONFIG_HOME");
    }
    std::string config() const { return dir.file("config"); }
    std::string entry() const { return config() + "/autostart/procward.desktop"; }

    TempDir dir;

private:
    std::optional<std::string> previous_;
};

TEST_F(LinuxAutostartTest, WritesTheEntryAndReplacesItOnTheNextStart) {
    platform::LinuxAutostart autostart;
    std::string where;
    int error = -1;
    ASSERT_EQ(platform::AutostartResult::Written, autostart.registerEntry("procward", "/opt/a/procward", {}, where, error));
    EXPECT_EQ(entry(), where);
    EXPECT_EQ(0, error);
    EXPECT_EQ("[Desktop Entry]\nType=Application\nName=procward\nExec=/opt/a/procward\nTerminal=false\n"
              "X-GNOME-Autostart-enabled=true\n",
              readFile(entry()));

    // Started from another place: the entry names the new path, and no
    // temporary file is left beside it.
    ASSERT_EQ(platform::AutostartResult::Written, autostart.registerEntry("procward", "/opt/b/procward", {"--config-dir", "/srv/my games"}, where, error));
    EXPECT_NE(std::string::npos, readFile(entry()).find("\nExec=/opt/b/procward --config-dir \"/srv/my games\"\n"));
    EXPECT_EQ(std::string::npos, readFile(entry()).find("/opt/a/"));
    int files = 0;
    for ([[maybe_unused]] const auto& file : std::filesystem::directory_iterator(config() + "/autostart")) ++files;
    EXPECT_EQ(1, files);
}

TEST_F(LinuxAutostartTest, ExecIsQuotedWhenThePathHasReservedCharacters) {
    using platform::LinuxAutostart;
    EXPECT_EQ("/opt/procward/procward", LinuxAutostart::execValue("/opt/procward/procward"));
    EXPECT_EQ("\"/opt/my tools/procward\"", LinuxAutostart::execValue("/opt/my tools/procward"));
    // Inside quotes $ takes a backslash, which the string escapes double.
    EXPECT_EQ(R"("/opt/a\\$b/p\\\\q")", LinuxAutostart::execValue(R"(/opt/a$b/p\q)"));
    EXPECT_EQ("/opt/100%%/procward", LinuxAutostart::execValue("/opt/100%/procward"));
}

TEST_F(LinuxAutostartTest, ADirectoryThatCannotBeMadeIsCannotOpen) {
    // A regular file where a directory should be: fails for root as well.
    writeFile(dir.file("plain"), "x");
    ::setenv("XDG_CONFIG_HOME", dir.file("plain/config").c_str(), 1);
    platform::LinuxAutostart autostart;
    std::string where;
    int error = 0;
    EXPECT_EQ(platform::AutostartResult::CannotOpen, autostart.registerEntry("procward", "/opt/p", {}, where, error));
    EXPECT_EQ(ENOTDIR, error);
    EXPECT_EQ(dir.file("plain/config/autostart/procward.desktop"), where);
}

TEST_F(LinuxAutostartTest, AnEntryThatCannotBeReplacedIsWriteFailed) {
    // A directory in the entry's place cannot be renamed over.
    std::filesystem::create_directories(entry());
    platform::LinuxAutostart autostart;
    std::string where;
    int error = 0;
    EXPECT_EQ(platform::AutostartResult::WriteFailed, autostart.registerEntry("procward", "/opt/p", {}, where, error));
    EXPECT_EQ(EISDIR, error);
    int files = 0;
    for ([[maybe_unused]] const auto& file : std::filesystem::directory_iterator(config() + "/autostart")) ++files;
    EXPECT_EQ(1, files);  // the temporary file is gone
}

TEST_F(LinuxAutostartTest, RegisterAutoRunWritesTheRunningExecutableWithItsDirectories) {
    EXPECT_EQ(AutoRunResult::Registered, RegisterAutoRun());
    EXPECT_NE(std::string::npos,
              readFile(entry()).find("\nExec=" + platform::LinuxAutostart::execValue(platform::executablePath()) + "\n"));

    // Started with its own directories, it starts with them at logon too.
    AppDirectories::setConfigDirectory(dir.file("my config"));
    AppDirectories::setLogDirectory(dir.file("logs"));
    const AutoRunResult result = RegisterAutoRun();
    AppDirectories::setConfigDirectory("");
    AppDirectories::setLogDirectory("");
    EXPECT_EQ(AutoRunResult::Registered, result);
    EXPECT_NE(std::string::npos,
              readFile(entry()).find("\nExec=" + platform::LinuxAutostart::execValue(platform::executablePath()) +
                                     " --config-dir " + platform::LinuxAutostart::execValue(dir.file("my config")) +
                                     " --log-dir " + platform::LinuxAutostart::execValue(dir.file("logs")) + "\n"));
}

TEST_F(LinuxAutostartTest, RegisterAutoRunLogsWhenTheDirectoryCannotBeMadeAndShowsWhenTheWriteFails) {
    ScopedWorkingDirectory cwd(dir.path());
    ASSERT_EQ(0, ::mkdir("logs", 0777));
    ASSERT_TRUE(AppLogger::Instance().Init());
    writeFile(dir.file("plain"), "x");
    ::setenv("XDG_CONFIG_HOME", dir.file("plain").c_str(), 1);
    EXPECT_EQ(AutoRunResult::ErrorLogged, RegisterAutoRun());

    ::setenv("XDG_CONFIG_HOME", config().c_str(), 1);
    std::filesystem::create_directories(entry());
    EXPECT_EQ(AutoRunResult::ShowMessage, RegisterAutoRun());

    std::string log;
    for (const auto& file : std::filesystem::directory_iterator(dir.file("logs"))) log += readFile(file.path());
    EXPECT_NE(std::string::npos, log.find("[INFO ]: Writing autostart entry error: " + dir.file("plain") +
                                          "/autostart/procward.desktop, error code: 20\r\n"))
        << log;
    // The write failure is shown, not logged.
    EXPECT_EQ(std::string::npos, log.find(config()));
}

}  // namespace
