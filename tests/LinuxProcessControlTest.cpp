#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "platform/linux/LinuxProcessControl.h"
#include "platform/Text.h"
#include "platform/linux/LinuxProcessTable.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

using platform::LinuxProcessControl;
using platform::TerminateResult;

namespace {

struct StatLine {
    char state = 0;
    int parent = 0;
    int group = 0;
    int session = 0;
};

bool readStat(int pid, StatLine& stat) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return false;
    const auto close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 2));
    return static_cast<bool>(rest >> stat.state >> stat.parent >> stat.group >> stat.session);
}

std::string linkTarget(const std::string& path) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? buffer : "";
}

std::vector<std::string> argumentsOf(int pid) {
    std::vector<std::string> args;
    platform::LinuxProcessTable::arguments(pid, args);
    return args;
}

// A line of /proc/PID/status, such as "SigIgn".
std::string statusField(int pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size() + 1, name + ":") == 0) return platform::trimWhite(line.substr(name.size() + 1));
    return {};
}

// Kills a launched program when the test ends, however it ends.
struct Launched {
    int pid = 0;
    explicit Launched(int id) : pid(id) {}
    Launched(Launched&& other) noexcept : pid(std::exchange(other.pid, 0)) {}
    Launched(const Launched&) = delete;
    Launched& operator=(const Launched&) = delete;
    ~Launched() { killAndWait(pid); }
};

class LinuxProcessControlTest : public ::testing::Test {
protected:
    // Servers that supervisors of earlier tests started are children of
    // this process: those that have ended are collected first, so a look
    // at this process's children sees only what the test makes.
    void SetUp() override { control.reapChildren(); }

    LinuxProcessControl control;
    const std::string server = testServerPath();

    // Launches and expects success.
    int launch(const std::string& commandLine) {
        int pid = -1, error = -1;
        EXPECT_TRUE(control.launch(commandLine, pid, error)) << commandLine << ": " << std::strerror(error);
        EXPECT_EQ(0, error);
        return pid;
    }

    // Launches and expects failure with the given errno.
    void expectFailure(const std::string& commandLine, int expected) {
        int pid = -1, error = 0;
        EXPECT_FALSE(control.launch(commandLine, pid, error)) << commandLine;
        EXPECT_EQ(0, pid) << commandLine;
        EXPECT_EQ(expected, error) << commandLine << ": " << std::strerror(error);
    }
};

}  // namespace

TEST_F(LinuxProcessControlTest, StartsTheProgramDetachedInASessionOfItsOwn) {
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    Launched program{launch(server + " --mark detached")};
    ASSERT_GT(program.pid, 0);

    // Right after launch the process is the program, not the launcher.
    EXPECT_EQ(realPath(server), linkTarget("/proc/" + std::to_string(program.pid) + "/exe"));
    EXPECT_EQ((std::vector<std::string>{server, "--mark", "detached"}), argumentsOf(program.pid));

    StatLine stat;
    ASSERT_TRUE(readStat(program.pid, stat));
    EXPECT_NE(getpid(), stat.parent);
    EXPECT_EQ(program.pid, stat.session);
    EXPECT_EQ(program.pid, stat.group);
    EXPECT_NE(getsid(0), stat.session);

    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ("/dev/null", linkTarget("/proc/" + std::to_string(program.pid) + "/fd/" + std::to_string(fd)));
    EXPECT_EQ(realPath(dir.path()), linkTarget("/proc/" + std::to_string(program.pid) + "/cwd"));

    // The intermediate process has been reaped and the program is not ours.
    int status = 0;
    EXPECT_LE(::waitpid(-1, &status, WNOHANG), 0);
    EXPECT_TRUE(processAlive(program.pid));
}

TEST_F(LinuxProcessControlTest, ProgramGetsDefaultSignalsAndNoneOfTheLaunchersDescriptors) {
    // A descriptor the launcher forgot to mark close-on-exec, an ignored
    // SIGPIPE and a blocked SIGUSR1 must not pass on to the program.
    int leaked[2];
    ASSERT_EQ(0, ::pipe(leaked));
    struct sigaction ignore {}, previousAction {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(0, ::sigaction(SIGPIPE, &ignore, &previousAction));
    sigset_t usr1, previousMask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(0, ::pthread_sigmask(SIG_BLOCK, &usr1, &previousMask));

    int pid = 0, error = 0;
    const bool launched = control.launch(server, pid, error);
    Launched program{pid};

    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGPIPE, &previousAction, nullptr);
    const std::string pipeName = linkTarget("/proc/self/fd/" + std::to_string(leaked[1]));
    ::close(leaked[0]);
    ::close(leaked[1]);

    ASSERT_TRUE(launched) << std::strerror(error);
    // Signals 32 and 33 belong to the C library, which lets nobody change
    // them: a program inherits them as the launcher's parent left them.
    const unsigned long long reserved = (1ULL << 31) | (1ULL << 32);
    EXPECT_EQ(0u, std::stoull(statusField(pid, "SigIgn"), nullptr, 16) & ~reserved) << statusField(pid, "SigIgn");
    EXPECT_EQ("0000000000000000", statusField(pid, "SigBlk"));
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 3; fd < 64; ++fd) EXPECT_NE(pipeName, linkTarget(fdDir + std::to_string(fd))) << "fd " << fd;
}

TEST_F(LinuxProcessControlTest, ProgramOutlivesTheProcessThatLaunchedIt) {
    int channel[2];
    ASSERT_EQ(0, ::pipe(channel));
    const pid_t launcher = ::fork();
    ASSERT_GE(launcher, 0);
    if (launcher == 0) {
        LinuxProcessControl child;
        int pid = 0, error = 0;
        if (!child.launch(server + " --mark orphan", pid, error)) pid = 0;
        (void)!::write(channel[1], &pid, sizeof pid);
        ::_exit(0);
    }
    ::close(channel[1]);
    int pid = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof pid), ::read(channel[0], &pid, sizeof pid));
    ::close(channel[0]);
    int status = 0;
    ASSERT_EQ(launcher, ::waitpid(launcher, &status, 0));
    Launched program{pid};
    ASSERT_GT(pid, 0);

    // The launcher is gone; the program runs on, the child of neither.
    EXPECT_TRUE(processAlive(pid));
    StatLine stat;
    ASSERT_TRUE(readStat(pid, stat));
    EXPECT_NE(launcher, stat.parent);
    EXPECT_NE(getpid(), stat.parent);
    EXPECT_EQ((std::vector<std::string>{server, "--mark", "orphan"}), argumentsOf(pid));
}

TEST_F(LinuxProcessControlTest, PassesQuotedArgumentsAsTheShellWouldSplitThem) {
    Launched program{launch(server + R"( 'two words' "say \"hi\"" back\ slash\\ a"b"'c' '' "$HOME")")};
    ASSERT_GT(program.pid, 0);
    EXPECT_EQ((std::vector<std::string>{server, "two words", "say \"hi\"", "back slash\\", "abc", "", "$HOME"}),
              argumentsOf(program.pid));
}

TEST_F(LinuxProcessControlTest, FindsABareProgramNameOnThePath) {
    TempDir dir;
    const std::string first = dir.file("first"), second = dir.file("second");
    ASSERT_EQ(0, ::mkdir(first.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(second.c_str(), 0755));
    // Earlier on the path, but not executable: the search goes on.
    writeFile(first + "/pw-tool", "not a program");
    ASSERT_EQ(0, ::chmod((first + "/pw-tool").c_str(), 0644));
    ASSERT_EQ(0, ::symlink(server.c_str(), (second + "/pw-tool").c_str()));
    writeFile(second + "/pw-noexec", "not a program");
    ASSERT_EQ(0, ::chmod((second + "/pw-noexec").c_str(), 0644));

    const char* oldPath = std::getenv("PATH");
    const std::string savedPath = oldPath ? oldPath : "";
    ASSERT_EQ(0, ::setenv("PATH", (first + ":" + second).c_str(), 1));
    int pid = 0;
    {
        Launched program{launch("pw-tool --mark path")};
        pid = program.pid;
        expectFailure("pw-nowhere", ENOENT);
        expectFailure("pw-noexec", EACCES);
        if (pid > 0) {
            EXPECT_EQ(realPath(server), linkTarget("/proc/" + std::to_string(pid) + "/exe"));
            EXPECT_EQ((std::vector<std::string>{"pw-tool", "--mark", "path"}), argumentsOf(pid));
        }
    }
    if (oldPath)
        ::setenv("PATH", savedPath.c_str(), 1);
    else
        ::unsetenv("PATH");
    EXPECT_GT(pid, 0);
}

TEST_F(LinuxProcessControlTest, ProgramsThatCannotRunFailBeforeLaunchReturnsAndLeaveNoProcess) {
    TempDir dir;
    const std::string text = dir.file("notes.txt");
    writeFile(text, "plain text");
    ASSERT_EQ(0, ::chmod(text.c_str(), 0644));
    const std::string noFormat = dir.file("noformat");
    writeFile(noFormat, "\x01\x02 neither a program nor a script");
    ASSERT_EQ(0, ::chmod(noFormat.c_str(), 0755));

    // Adopt orphans for a moment, so that the grandchild of a failed launch
    // becomes our child and we can see that it has ended.
    ASSERT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1));
    struct Case {
        std::string commandLine;
        int error;
    };
    const std::vector<Case> cases{{dir.file("missing") + " --port 1", ENOENT},
                                  {dir.file("missing/sub"), ENOENT},
                                  {text + "/sub", ENOTDIR},
                                  {text, EACCES},
                                  {dir.path(), EACCES},
                                  {noFormat, ENOEXEC}};
    for (const Case& c : cases) {
        expectFailure(c.commandLine, c.error);
        // The failed grandchild is ours now and has ended with 127; nothing
        // else is left.
        int status = 0;
        const pid_t ended = ::waitpid(-1, &status, WNOHANG);
        EXPECT_GT(ended, 0) << c.commandLine;
        if (ended > 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << c.commandLine;
        }
        EXPECT_EQ(-1, ::waitpid(-1, &status, WNOHANG)) << c.commandLine;
        EXPECT_EQ(ECHILD, errno);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(LinuxProcessControlTest, EmptyAndUnbalancedCommandLinesAreLaunchFailures) {
    expectFailure("", EINVAL);
    expectFailure(" \t ", EINVAL);
    expectFailure(server + " 'unclosed", EINVAL);
    expectFailure(server + " \"unclosed", EINVAL);
    expectFailure("'' --port 1", ENOENT);
}

TEST_F(LinuxProcessControlTest, ConcurrentLaunchesEachGetTheirOwnProgram) {
    constexpr int kThreads = 4, kEach = 5;
    std::vector<std::vector<int>> pids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            LinuxProcessControl own;
            for (int i = 0; i < kEach; ++i) {
                int pid = 0, error = 0;
                if (own.launch(server + " --mark " + std::to_string(t * 100 + i), pid, error))
                    pids[t].push_back(pid);
                else
                    pids[t].push_back(-error);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<Launched> all;
    for (const auto& list : pids)
        for (const int pid : list) all.emplace_back(pid > 0 ? pid : 0);

    std::set<int> distinct;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            const int pid = pids[t][i];
            ASSERT_GT(pid, 0) << std::strerror(-pid);
            distinct.insert(pid);
            EXPECT_EQ((std::vector<std::string>{server, "--mark", std::to_string(t * 100 + i)}), argumentsOf(pid));
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kEach), distinct.size());
    int status = 0;
    EXPECT_LE(::waitpid(-1, &status, WNOHANG), 0);
}

TEST_F(LinuxProcessControlTest, TerminateEndsTheProgramAndReportsGoneProcesses) {
    Launched program{launch(server)};
    ASSERT_GT(program.pid, 0);
    EXPECT_EQ(TerminateResult::Terminated, control.terminate(program.pid));
    // It has ended by the time terminate returns.
    EXPECT_FALSE(processAlive(program.pid));

    // A process that has ended and been reaped.
    TestServer gone({});
    const int gonePid = gone.pid();
    gone.kill();
    EXPECT_EQ(TerminateResult::CannotOpen, control.terminate(gonePid));
    EXPECT_EQ(TerminateResult::CannotOpen, control.terminate(0));
    EXPECT_EQ(TerminateResult::CannotOpen, control.terminate(-1));
}

TEST_F(LinuxProcessControlTest, TerminateWithoutTheRightToSignalCannotOpen) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to take on another user";
    TestServer target({});
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // An unprivileged user may not kill the test's processes.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        LinuxProcessControl unprivileged;
        ::_exit(static_cast<int>(unprivileged.terminate(target.pid())));
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(100, WEXITSTATUS(status)) << "cannot drop privileges here";
    EXPECT_EQ(static_cast<int>(TerminateResult::CannotOpen), WEXITSTATUS(status));
    EXPECT_TRUE(processAlive(target.pid()));
}
