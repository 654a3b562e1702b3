#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/linux/LinuxShell.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

// Sets or unsets an environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (previous_) ::setenv(name_, previous_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

void writeExecutable(const std::string& path, const std::string& text) {
    writeFile(path, text);
    ::chmod(path.c_str(), 0755);
}

bool hasChildren() {
    int status = 0;
    return !(::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
}

// Field `n` (1-based) of /proc/<pid>/stat as written by a script: the
// command name is "sh", without blanks.
long statField(const std::string& stat, int n) {
    std::istringstream in(stat);
    std::string field;
    for (int i = 0; i < n; ++i) in >> field;
    return std::stol(field);
}

// A script that records where and how it runs, then marks itself done.
const char* const kRecordingScript =
    "pwd > where.txt\n"
    "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2)\n"
    "echo \"$in $out $err\" > stdio.txt\n"
    "read -r stat < /proc/$$/stat; echo \"$stat\" > stat.txt\n"
    "echo noise; echo noise >&2\n"
    "touch done.txt\n";

TEST(LinuxShellTest, HiddenScriptRunsInItsDirectoryDetachedAndLeavesNoChild) {
    TempDir dir;
    const std::string directory = dir.path() + "/";
    writeFile(dir.file("reload_Game.sh"), kRecordingScript);  // not executable: /bin/sh reads it

    platform::LinuxShell shell;
    ASSERT_TRUE(shell.runScript(directory + "reload_Game.sh", directory, false));
    // The intermediate process is already reaped and the script is not ours.
    EXPECT_FALSE(hasChildren());
    ASSERT_TRUE(waitFor([&] { return ::access(dir.file("done.txt").c_str(), F_OK) == 0; }));

    EXPECT_EQ(dir.path() + "\n", readFile(dir.file("where.txt")));
    EXPECT_EQ("/dev/null /dev/null /dev/null\n", readFile(dir.file("stdio.txt")));
    const std::string stat = readFile(dir.file("stat.txt"));
    ASSERT_FALSE(stat.empty());
    const long pid = statField(stat, 1);
    EXPECT_NE(::getpid(), statField(stat, 4));          // parent
    EXPECT_NE(::getsid(0), statField(stat, 6));         // session
    EXPECT_NE(pid, statField(stat, 6));                 // not a session leader: cannot take a terminal
    EXPECT_FALSE(hasChildren());
}

TEST(LinuxShellTest, AMissingDirectoryOrProgramIsReported) {
    TempDir dir;
    writeFile(dir.file("s.sh"), "touch ran\n");
    platform::LinuxShell shell;
    EXPECT_FALSE(shell.runScript(dir.file("s.sh"), dir.file("missing/"), false));
    EXPECT_FALSE(platform::LinuxShell::spawnDetached({dir.file("no-such-program")}, dir.path()));
    EXPECT_FALSE(hasChildren());
    EXPECT_EQ("", readFile(dir.file("ran")));
}

TEST(LinuxShellTest, VisibleScriptRunsInTheDesktopTerminal) {
    TempDir dir;
    ::mkdir(dir.file("bin").c_str(), 0755);
    // Stands in for the desktop's terminal: records its arguments and runs
    // the command after -e.
    writeExecutable(dir.file("bin/x-terminal-emulator"),
                    "#!/bin/sh\necho \"$@\" > " + dir.file("terminal.txt") + "\nshift\nexec \"$@\"\n");
    writeFile(dir.file("nettime.sh"), "pwd > where.txt\n");
    const ScopedEnv path("PATH", (dir.file("bin") + ":/usr/bin:/bin").c_str());
    const ScopedEnv display("DISPLAY", ":7");

    platform::LinuxShell shell;
    ASSERT_TRUE(shell.runScript(dir.file("nettime.sh"), dir.path() + "/", true));
    ASSERT_TRUE(waitFor([&] { return !readFile(dir.file("where.txt")).empty(); }));
    EXPECT_EQ("-e /bin/sh " + dir.file("nettime.sh") + "\n", readFile(dir.file("terminal.txt")));
    EXPECT_EQ(dir.path() + "\n", readFile(dir.file("where.txt")));
}

TEST(LinuxShellTest, VisibleScriptRunsHiddenWithoutADisplay) {
    TempDir dir;
    ::mkdir(dir.file("bin").c_str(), 0755);
    writeExecutable(dir.file("bin/x-terminal-emulator"), "#!/bin/sh\ntouch " + dir.file("terminal.txt") + "\n");
    writeFile(dir.file("nettime.sh"), "pwd > where.txt\n");
    const ScopedEnv path("PATH", (dir.file("bin") + ":/usr/bin:/bin").c_str());
    const ScopedEnv display("DISPLAY", nullptr);
    const ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);

    EXPECT_EQ((std::vector<std::string>{"/bin/sh", "s.sh"}), platform::LinuxShell::scriptCommand("s.sh", true));
    platform::LinuxShell shell;
    ASSERT_TRUE(shell.runScript(dir.file("nettime.sh"), dir.path() + "/", true));
    ASSERT_TRUE(waitFor([&] { return !readFile(dir.file("where.txt")).empty(); }));
    EXPECT_EQ(dir.path() + "\n", readFile(dir.file("where.txt")));
    EXPECT_NE(0, ::access(dir.file("terminal.txt").c_str(), F_OK));
}

TEST(LinuxShellTest, OpensDirectoriesWithXdgOpen) {
    TempDir dir;
    ::mkdir(dir.file("bin").c_str(), 0755);
    // Stands in for the desktop's opener.
    writeExecutable(dir.file("bin/xdg-open"), "#!/bin/sh\necho \"$@\" > " + dir.file("opened.txt") + "\n");
    platform::LinuxShell shell;
    {
        const ScopedEnv path("PATH", dir.file("bin").c_str());
        ASSERT_TRUE(shell.openDirectory("/srv/game dir/"));
        ASSERT_TRUE(waitFor([&] { return !readFile(dir.file("opened.txt")).empty(); }));
        EXPECT_EQ("/srv/game dir/\n", readFile(dir.file("opened.txt")));
    }
    const ScopedEnv path("PATH", dir.path().c_str());  // no xdg-open there
    EXPECT_FALSE(shell.openDirectory("/srv/"));
    EXPECT_FALSE(hasChildren());
}

}  // namespace
