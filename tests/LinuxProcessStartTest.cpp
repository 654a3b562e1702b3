// Starting servers as children held from the first moment, and learning
// how they ended: real processes throughout.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/ExitStatus.h"
#include "platform/ExitWatcher.h"
#include "platform/ProcessIdentity.h"
#include "platform/ServerEnvironment.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "platform/linux/LinuxProcessControl.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

using platform::ExitStatus;
using platform::LaunchFailure;
using platform::LaunchRequest;
using platform::LinuxProcessControl;
using platform::ProcessHandle;
using platform::StopSignal;

namespace {

struct Stat {
    char state = 0;
    int parent = 0;
    int group = 0;
    int session = 0;
    unsigned long long startTicks = 0;
};

bool readStat(int pid, Stat& stat) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return false;
    const auto close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 2));
    std::vector<std::string> fields;
    for (std::string field; rest >> field;) fields.push_back(field);
    if (fields.size() < 20) return false;
    // fields[0] is field 3 of proc(5).
    stat.state = fields[0][0];
    stat.parent = std::stoi(fields[1]);
    stat.group = std::stoi(fields[2]);
    stat.session = std::stoi(fields[3]);
    stat.startTicks = std::stoull(fields[19]);
    return true;
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

std::string directoryOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

std::map<std::string, std::string> environmentOf(int pid) {
    std::map<std::string, std::string> variables;
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/environ");
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\0', start);
        const std::string entry = text.substr(start, end - start);
        const auto equals = entry.find('=');
        if (equals != std::string::npos) variables[entry.substr(0, equals)] = entry.substr(equals + 1);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return variables;
}

// Runs `body` in a forked child of the test and returns what it wrote: for
// what must not touch the test process itself (a change of user, the
// subreaper role, which lasts for life).
std::string inChildProcess(const std::function<std::string()>& body) {
    int channel[2];
    if (::pipe(channel) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        const std::string report = body();
        (void)!::write(channel[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<std::size_t>(n));
    ::close(channel[0]);
    if (child > 0) ::waitpid(child, nullptr, 0);
    return child > 0 ? report : "no child process";
}

// A started server, ended (its whole group) and collected when the test ends.
struct Held {
    std::unique_ptr<ProcessHandle> process;
    Held() = default;
    explicit Held(std::unique_ptr<ProcessHandle> p) : process(std::move(p)) {}
    Held(Held&&) = default;
    Held& operator=(Held&&) = default;
    ~Held() {
        if (!process) return;
        int error = 0;
        process->signal(StopSignal::Kill, true, error);
        waitFor([&] { return process->exited(); });
        process->exitStatus();
    }
    ProcessHandle* operator->() const { return process.get(); }
    explicit operator bool() const { return process != nullptr; }

    // Waits for the end and returns how it ended.
    std::optional<ExitStatus> waitForEnd() {
        waitFor([&] { return process->exited(); }, 10000);
        return process->exitStatus();
    }
};

class ProcessStartTest : public ::testing::Test {
protected:
    LinuxProcessControl control;
    const std::string server = testServerPath();
    TempDir dir;

    Held start(const LaunchRequest& request) {
        LaunchFailure failure;
        auto process = control.start(request, failure);
        EXPECT_TRUE(process) << request.commandLine << ": " << failure.text;
        return Held(std::move(process));
    }
    Held start(const std::string& commandLine) {
        LaunchRequest request;
        request.commandLine = commandLine;
        return start(request);
    }
    // Expects a refusal; returns its text.
    LaunchFailure refused(const LaunchRequest& request) {
        LaunchFailure failure;
        auto process = control.start(request, failure);
        EXPECT_FALSE(process) << request.commandLine;
        Held cleanup(std::move(process));
        return failure;
    }
};

}  // namespace

TEST_F(ProcessStartTest, TheServerIsAChildHeldFromTheStartInASessionOfItsOwn) {
    Held held = start(server + " --mark child");
    ASSERT_TRUE(held);
    const int pid = held->pid();
    EXPECT_TRUE(held->launchedHere());
    EXPECT_TRUE(held->leadsGroup());
    EXPECT_GE(held->waitable(), 0);
    EXPECT_FALSE(held->exitStatus().has_value());  // still running

    // The exec has happened by the time start returns.
    EXPECT_EQ(realPath(server), linkTarget("/proc/" + std::to_string(pid) + "/exe"));
    Stat stat;
    ASSERT_TRUE(readStat(pid, stat));
    EXPECT_EQ(::getpid(), stat.parent);
    EXPECT_EQ(pid, stat.session);
    EXPECT_EQ(pid, stat.group);
    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ("/dev/null", linkTarget("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)));
    // Without a working directory asked for, the program's own directory.
    EXPECT_EQ(realPath(directoryOf(server)), realPath(linkTarget("/proc/" + std::to_string(pid) + "/cwd")));

    // The identity a later run of the supervisor recognises it by.
    EXPECT_EQ(std::optional<std::uint64_t>(stat.startTicks), platform::processIdentity(pid));
    const std::string boot = platform::bootId();
    EXPECT_EQ(36u, boot.size()) << boot;
    EXPECT_EQ(boot, platform::bootId());

    int error = 0;
    EXPECT_EQ(platform::SignalResult::Sent, held->signal(StopSignal::Kill, false, error));
    ASSERT_TRUE(waitFor([&] { return held->exited(); }));
    // Ended but not yet collected: no longer the process that ran.
    ASSERT_TRUE(readStat(pid, stat));
    EXPECT_EQ('Z', stat.state);
    EXPECT_FALSE(platform::processIdentity(pid).has_value());
    const auto status = held->exitStatus();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(ExitStatus::How::Signal, status->how);
    EXPECT_EQ(9, status->value);
    EXPECT_EQ("was killed by signal 9 (SIGKILL)", platform::exitStatusText(*status));
    // Collected: no zombie is left, and the status stays with the handle.
    EXPECT_FALSE(::kill(pid, 0) == 0);
    EXPECT_EQ(status, held->exitStatus());
}

TEST_F(ProcessStartTest, ExitCodesAndSignalsAreReportedWithTheirNames) {
    Held exits = start(server + " --exit-code 3");
    ASSERT_TRUE(exits);
    const auto code = exits.waitForEnd();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ((ExitStatus{ExitStatus::How::Code, 3, false}), *code);
    EXPECT_EQ("exited with code 3", platform::exitStatusText(*code));

    // Under AddressSanitizer the signal sent on purpose must not be caught
    // and reported as a crash of the server.
    Held crashes = start("sh -c 'ASAN_OPTIONS=$ASAN_OPTIONS:handle_segv=0 exec " + server + "'");
    ASSERT_TRUE(crashes);
    ASSERT_EQ(0, ::kill(crashes->pid(), SIGSEGV));
    const auto crash = crashes.waitForEnd();
    ASSERT_TRUE(crash.has_value());
    EXPECT_EQ(ExitStatus::How::Signal, crash->how);
    EXPECT_EQ(11, crash->value);
    // The test's own core limit decides whether a core is written.
    EXPECT_EQ(crash->coreDumped ? "was killed by signal 11 (SIGSEGV) (core dumped)" : "was killed by signal 11 (SIGSEGV)",
              platform::exitStatusText(*crash));

    // A process found rather than started: nobody here is told how it ends.
    TestServer foreign({});
    auto found = control.open(foreign.pid());
    ASSERT_TRUE(found);
    EXPECT_FALSE(found->launchedHere());
    foreign.kill();
    EXPECT_TRUE(found->exited());
    EXPECT_FALSE(found->exitStatus().has_value());
}

TEST_F(ProcessStartTest, ACoreDumpIsReportedWhereTheKernelWritesOne) {
    const std::string pattern = readFile("/proc/sys/kernel/core_pattern");
    if (!pattern.empty() && pattern[0] == '|')
        GTEST_SKIP() << "cores go to a handler program here (" << platform::trimWhite(pattern)
                     << "), which may drop them unseen";
    LaunchRequest request;
    // The core, if the pattern names a plain file, lands in the test's
    // directory. In a build with AddressSanitizer the server must die of the
    // signal as the kernel has it, not be caught by the sanitizer's handler.
    request.commandLine =
        "sh -c 'ulimit -c unlimited && ASAN_OPTIONS=$ASAN_OPTIONS:handle_segv=0 exec " + server + "'";
    request.workingDirectory = dir.path();
    Held held = start(request);
    ASSERT_TRUE(held);
    ASSERT_TRUE(waitFor([&] { return linkTarget("/proc/" + std::to_string(held->pid()) + "/exe") == realPath(server); }));
    ASSERT_EQ(0, ::kill(held->pid(), SIGSEGV));
    const auto status = held.waitForEnd();
    ASSERT_TRUE(status.has_value());
    if (!status->coreDumped) GTEST_SKIP() << "the kernel wrote no core here (core_pattern " << pattern << ")";
    EXPECT_EQ("was killed by signal 11 (SIGSEGV) (core dumped)", platform::exitStatusText(*status));
}

TEST_F(ProcessStartTest, WorkingDirectoryIsTheProgramsFoundOnThePathOrTheOneAskedFor) {
    const std::string bin = dir.file("bin"), work = dir.file("work");
    ASSERT_EQ(0, ::mkdir(bin.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(work.c_str(), 0755));
    ASSERT_EQ(0, ::symlink(server.c_str(), (bin + "/pw-server").c_str()));
    ScopedEnvironment path("PATH", "/nonexistent:" + bin + ":/usr/bin:/bin");

    Held found = start("pw-server --mark path");
    ASSERT_TRUE(found);
    EXPECT_EQ(realPath(bin), realPath(linkTarget("/proc/" + std::to_string(found->pid()) + "/cwd")));

    // A relative program path is taken from the supervisor's directory,
    // not the server's.
    {
        ScopedWorkingDirectory cwd(dir.path());
        Held relative = start("bin/pw-server --mark relative");
        ASSERT_TRUE(relative);
        EXPECT_EQ(realPath(bin), realPath(linkTarget("/proc/" + std::to_string(relative->pid()) + "/cwd")));
    }

    LaunchRequest request;
    request.commandLine = "pw-server --mark explicit";
    request.workingDirectory = work;
    Held asked = start(request);
    ASSERT_TRUE(asked);
    EXPECT_EQ(realPath(work), realPath(linkTarget("/proc/" + std::to_string(asked->pid()) + "/cwd")));

    request.workingDirectory = dir.file("missing");
    const LaunchFailure failure = refused(request);
    EXPECT_EQ(ENOENT, failure.error);
    EXPECT_EQ("cannot change to the working directory '" + dir.file("missing") + "': No such file or directory",
              failure.text);
}

TEST_F(ProcessStartTest, TheSupervisorsOwnVariablesStayBehindAndTheRequestedOnesArrive) {
    ScopedEnvironment notify("NOTIFY_SOCKET", "/run/systemd/notify");
    ScopedEnvironment watchdog("WATCHDOG_USEC", "30000000");
    ScopedEnvironment watchdogPid("WATCHDOG_PID", "1");
    ScopedEnvironment fds("LISTEN_FDS", "2");
    ScopedEnvironment names("LISTEN_FDNAMES", "a:b");
    ScopedEnvironment own("PROCWARD_CONFIG", "/etc/procward");
    ScopedEnvironment kept("PW_KEPT", "from the supervisor");
    ScopedEnvironment replaced("PW_REPLACED", "old");

    LaunchRequest request;
    request.commandLine = server;
    request.environment = {{"PW_NEW", "1"}, {"PW_REPLACED", "new"}, {"PW_NEW", "2 = two"}, {"PW_EMPTY", ""}};
    Held held = start(request);
    ASSERT_TRUE(held);
    const auto variables = environmentOf(held->pid());
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "LISTEN_FDS", "LISTEN_FDNAMES",
                             "PROCWARD_CONFIG"})
        EXPECT_EQ(0u, variables.count(name)) << name;
    EXPECT_EQ("from the supervisor", variables.at("PW_KEPT"));
    EXPECT_EQ("new", variables.at("PW_REPLACED"));
    EXPECT_EQ("2 = two", variables.at("PW_NEW"));
    EXPECT_EQ("", variables.at("PW_EMPTY"));
    EXPECT_EQ(std::getenv("PATH"), variables.at("PATH"));

    request.environment = {{"BAD=NAME", "x"}};
    EXPECT_EQ("cannot set the environment variable 'BAD=NAME': not a valid name or value", refused(request).text);
}

TEST(ServerEnvironmentTest, TheRuntimeDirectoryStaysBehindOnlyUnderTheServiceManager) {
    const std::vector<std::string> own{"PATH=/usr/bin",     "XDG_RUNTIME_DIR=/run/procward",
                                       "LISTEN_PID=4",      "INVOCATION_ID=abc",
                                       "=C:=C:\\srv",       "Procward_Secret=1",
                                       "STATE_DIRECTORY=/var/lib/procward"};
    using platform::ServerEnvironment;
    // Under the service manager, the directories it made for the supervisor stay behind too.
    EXPECT_EQ((std::vector<std::string>{"PATH=/usr/bin", "INVOCATION_ID=abc", "=C:=C:\\srv", "Procward_Secret=1",
                                        "HOME=/srv"}),
              ServerEnvironment::build(own, true, {{"HOME", "/srv"}}, false));
    EXPECT_EQ((std::vector<std::string>{"PATH=/usr/bin", "XDG_RUNTIME_DIR=/run/procward", "INVOCATION_ID=abc",
                                        "=C:=C:\\srv", "Procward_Secret=1", "STATE_DIRECTORY=/var/lib/procward"}),
              ServerEnvironment::build(own, false, {}, false));
    // Where names ignore case, so do the rules and the replacements.
    EXPECT_EQ((std::vector<std::string>{"PATH=C:\\bin", "INVOCATION_ID=abc", "=C:=C:\\srv"}),
              ServerEnvironment::build({"Path=C:\\Windows", "xdg_runtime_dir=x", "INVOCATION_ID=abc", "=C:=C:\\srv",
                                        "Procward_Secret=1"},
                                       true, {{"PATH", "C:\\bin"}}, true));
}

TEST_F(ProcessStartTest, OutputGoesToTheServersOwnFileAppendedAcrossStarts) {
    const std::string file = dir.file("logs/servers/game.log");  // directories made on the way
    LaunchRequest request;
    request.commandLine = server + " --say first --exit-code 0";
    request.outputFile = file;
    {
        Held held = start(request);
        ASSERT_TRUE(held);
        EXPECT_EQ(std::optional<ExitStatus>(ExitStatus{}), held.waitForEnd());
    }
    request.commandLine = server + " --say second --exit-code 0";
    {
        Held held = start(request);
        ASSERT_TRUE(held);
        held.waitForEnd();
    }
    EXPECT_EQ("first (stdout)\nfirst (stderr)\nsecond (stdout)\nsecond (stderr)\n", readFile(file));
    struct stat info {};
    ASSERT_EQ(0, ::stat(file.c_str(), &info));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(0640 & ~mask, info.st_mode & 0777);

    // A file the supervisor cannot open stops the start before anything runs.
    writeFile(dir.file("plain"), "x");
    request.outputFile = dir.file("plain/sub/game.log");
    const LaunchFailure failure = refused(request);
    EXPECT_EQ(ENOTDIR, failure.error);
    EXPECT_EQ("cannot create the directory of the output file '" + dir.file("plain/sub/game.log") +
                  "': Not a directory",
              failure.text);
}

TEST_F(ProcessStartTest, TheServerWritesToItsFileWithoutTheSupervisorInBetween) {
    const std::string file = dir.file("ticks.log");
    LaunchRequest request;
    request.commandLine = "sh -c 'while :; do echo tick; sleep 0.02; done'";
    request.outputFile = file;
    Held held = start(request);
    ASSERT_TRUE(held);
    const std::string fds = "/proc/" + std::to_string(held->pid()) + "/fd/";
    EXPECT_EQ(realPath(file), linkTarget(fds + "1"));
    EXPECT_EQ(realPath(file), linkTarget(fds + "2"));
    EXPECT_EQ("/dev/null", linkTarget(fds + "0"));
    // The supervisor kept no descriptor of the file: the server's writes
    // depend on nothing here.
    for (int fd = 0; fd < 256; ++fd)
        EXPECT_NE(realPath(file), linkTarget("/proc/self/fd/" + std::to_string(fd))) << "fd " << fd;
    auto size = [&] { return readFile(file).size(); };
    ASSERT_TRUE(waitFor([&] { return size() >= 5 * 5; }));
    const std::size_t seen = size();
    EXPECT_TRUE(waitFor([&] { return size() > seen; }));
    EXPECT_EQ(0u, readFile(file).size() % 5);  // whole "tick\n" lines only
}

// Whether a process has ended (gone, or a zombie not yet collected).
bool processEnded(int pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close, 4, ") Z ") == 0;
}

TEST_F(ProcessStartTest, OneWriterCarriesEveryServersOutputAndOutlivesTheSupervisor) {
    auto counting = [&](const std::string& name) {
        LaunchRequest request;
        request.commandLine = "sh -c 'i=0; while :; do i=$((i+1)); echo " + name + "$i; sleep 0.01; done'";
        request.outputFile = dir.file(name + ".log");
        request.outputWriter = PROCWARD_OUTPUT_WRITER;
        return request;
    };
    auto first = std::make_unique<LinuxProcessControl>();
    LaunchFailure failure;
    Held a(first->start(counting("a"), failure));
    Held b(first->start(counting("b"), failure));
    ASSERT_TRUE(a && b) << failure.text;
    const int writer = a->outputWriter();
    ASSERT_GT(writer, 0);
    EXPECT_EQ(writer, b->outputWriter());
    EXPECT_EQ(realPath(PROCWARD_OUTPUT_WRITER), linkTarget("/proc/" + std::to_string(writer) + "/exe"));
    EXPECT_EQ(0u, linkTarget("/proc/" + std::to_string(a->pid()) + "/fd/1").rfind("pipe:", 0));
    auto grows = [&](const std::string& name) {
        const std::size_t seen = readFile(dir.file(name + ".log")).size();
        return waitFor([&] { return readFile(dir.file(name + ".log")).size() > seen + 20; });
    };
    EXPECT_TRUE(grows("a"));
    EXPECT_TRUE(grows("b"));

    // The supervisor goes (its socket closes): the writer carries on what it
    // has, and the next supervisor gets a writer of its own.
    first.reset();
    EXPECT_TRUE(grows("a"));
    auto next = std::make_unique<LinuxProcessControl>();
    auto startNext = [&](const LaunchRequest& request) {
        Held held(next->start(request, failure));
        EXPECT_TRUE(held) << failure.text;
        return held;
    };
    LaunchRequest bye;
    bye.commandLine = server + " --say bye --exit-code 0";
    bye.outputFile = dir.file("bye.log");
    bye.outputWriter = PROCWARD_OUTPUT_WRITER;
    {
        Held said = startNext(bye);
        ASSERT_TRUE(said);
        EXPECT_NE(writer, said->outputWriter());
        // Its end is told once its last words are in the file.
        EXPECT_EQ(std::optional<ExitStatus>(ExitStatus{}), said.waitForEnd());
        EXPECT_EQ("bye (stdout)\nbye (stderr)\n", readFile(dir.file("bye.log")));
    }
    // The first writer ends with the last of its servers.
    auto end = [](Held& held) { Held ended = std::move(held); };  // its group killed and collected
    auto collected = [&](int pid) {
        control.reapChildren();
        return readFile("/proc/" + std::to_string(pid) + "/stat").empty();
    };
    end(a);
    EXPECT_FALSE(processEnded(writer));
    EXPECT_TRUE(grows("b"));
    end(b);
    EXPECT_TRUE(waitFor([&] { return collected(writer); }));

    // A writer that has been killed is replaced at the next start.
    Held again = startNext(counting("c"));
    ASSERT_TRUE(again);
    const int second = again->outputWriter();
    end(again);
    ASSERT_EQ(0, ::kill(second, SIGKILL));
    EXPECT_TRUE(waitFor([&] { return collected(second); }));
    Held replaced = startNext(counting("d"));
    ASSERT_TRUE(replaced);
    const int third = replaced->outputWriter();
    EXPECT_NE(second, third);
    EXPECT_TRUE(grows("d"));
    end(replaced);
    next.reset();
    EXPECT_TRUE(waitFor([&] { return collected(third); }));
}

TEST_F(ProcessStartTest, AsRootTheServerRunsAsTheUserAskedFor) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string file = dir.file("id.log");
    LaunchRequest request;
    request.commandLine = R"(sh -c 'echo "$USER $LOGNAME $HOME"; id -u; id -g; id -G')";
    request.user = "nobody";
    request.outputFile = file;
    {
        Held held = start(request);
        ASSERT_TRUE(held);
        EXPECT_EQ(std::optional<ExitStatus>(ExitStatus{}), held.waitForEnd());
    }
    std::vector<std::string> lines;
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(4u, lines.size()) << readFile(file);
    EXPECT_EQ("nobody nobody /nonexistent", lines[0]);
    EXPECT_EQ("65534", lines[1]);
    EXPECT_EQ("65534", lines[2]);
    EXPECT_EQ("65534", lines[3]);  // nobody's groups only, none of root's

    // A group asked for becomes the primary group.
    request.commandLine = "sh -c 'id -u; id -g'";
    request.group = "daemon";
    ::unlink(file.c_str());
    {
        Held held = start(request);
        ASSERT_TRUE(held);
        held.waitForEnd();
    }
    EXPECT_EQ("65534\n1\n", readFile(file));

    request.group.clear();
    request.user = "pw-no-such-user";
    LaunchFailure failure = refused(request);
    EXPECT_EQ("cannot run as user 'pw-no-such-user': no such user", failure.text);
    request.user = "nobody";
    request.group = "pw-no-such-group";
    EXPECT_EQ("cannot run as group 'pw-no-such-group': no such group", refused(request).text);
}

TEST_F(ProcessStartTest, WithoutRootAnotherUserIsRefusedBeforeAnythingStarts) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user for the refusal";
    const std::string marker = dir.file("ran");
    const std::string report = inChildProcess([&]() -> std::string {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return "cannot drop privileges here";
        LinuxProcessControl unprivileged;
        LaunchRequest request;
        request.commandLine = "touch " + marker;
        request.user = "daemon";
        LaunchFailure failure;
        Held process(unprivileged.start(request, failure));
        return std::string(process ? "started; " : "") + std::to_string(failure.error) + " " + failure.text;
    });
    EXPECT_EQ(std::to_string(EPERM) +
                  " cannot run as user 'daemon': only a supervisor running as root can change user or group",
              report);
    EXPECT_FALSE(platform::fileExists(marker));
}

TEST_F(ProcessStartTest, ProgramsThatCannotRunAreRefusedWithTheSystemsReason) {
    writeFile(dir.file("notes.txt"), "plain text");
    ASSERT_EQ(0, ::chmod(dir.file("notes.txt").c_str(), 0644));
    struct Case {
        std::string commandLine;
        int error;
        std::string text;
    };
    const std::vector<Case> cases{
        {dir.file("missing") + " --port 1", ENOENT,
         "cannot execute '" + dir.file("missing") + "': No such file or directory"},
        {dir.file("notes.txt"), EACCES, "cannot execute '" + dir.file("notes.txt") + "': Permission denied"},
        {"pw-nowhere-on-the-path", ENOENT, "cannot execute 'pw-nowhere-on-the-path': No such file or directory"},
        {server + " 'unclosed", EINVAL, "the command line has a quote that is not closed"},
        {"  ", EINVAL, "the command line is empty"},
    };
    for (const Case& c : cases) {
        LaunchRequest request;
        request.commandLine = c.commandLine;
        const LaunchFailure failure = refused(request);
        EXPECT_EQ(c.error, failure.error) << c.commandLine;
        EXPECT_EQ(c.text, failure.text) << c.commandLine;
    }
    // The children of the failed execs have been collected already.
    EXPECT_EQ(0, control.reapChildren());
}

TEST_F(ProcessStartTest, TheRestOfTheGroupIsCountedAndEndedAfterTheLeaderHasGone) {
    // A master that starts two workers in its group, as a forking server does.
    Held held = start("sh -c '" + server + " --mark worker & " + server + " --mark worker & wait'");
    ASSERT_TRUE(held);
    ASSERT_TRUE(waitFor([&] { return held->groupSize() == 3; })) << held->groupSize();

    int error = 0;
    ASSERT_EQ(platform::SignalResult::Sent, held->signal(StopSignal::Kill, false, error));  // the leader alone
    const auto status = held.waitForEnd();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(9, status->value);
    EXPECT_EQ(2, held->groupSize());
    EXPECT_TRUE(held->groupRunning());

    // The group can still be reached through the leader's ID.
    EXPECT_EQ(platform::SignalResult::Sent, held->signal(StopSignal::Graceful, true, error));
    EXPECT_TRUE(waitFor([&] { return held->groupSize() == 0; })) << held->groupSize();
}

TEST_F(ProcessStartTest, AGracefulStopEndsAStoppedProcessAndAStoppedGroup) {
    Held alone = start(server);
    ASSERT_TRUE(alone);
    Stat stat;
    ASSERT_EQ(0, ::kill(alone->pid(), SIGSTOP));
    ASSERT_TRUE(waitFor([&] { return readStat(alone->pid(), stat) && stat.state == 'T'; }));
    int error = 0;
    ASSERT_EQ(platform::SignalResult::Sent, alone->signal(StopSignal::Graceful, false, error));
    auto status = alone.waitForEnd();
    ASSERT_TRUE(status.has_value()) << "a stopped process stayed stopped";
    EXPECT_EQ((ExitStatus{ExitStatus::How::Signal, SIGTERM, false}), *status);

    Held group = start("sh -c '" + server + " --mark worker & wait'");
    ASSERT_TRUE(group);
    ASSERT_TRUE(waitFor([&] { return group->groupSize() == 2; }));
    ASSERT_EQ(0, ::kill(-group->pid(), SIGSTOP));
    ASSERT_EQ(platform::SignalResult::Sent, group->signal(StopSignal::Graceful, true, error));
    EXPECT_TRUE(waitFor([&] { return group->groupSize() == 0; }, 10000)) << group->groupSize();
    // The leader's own remains do not keep the group running.
    EXPECT_TRUE(waitFor([&] { return group->exited(); }));
    EXPECT_TRUE(waitFor([&] { return !group->groupRunning(); }))
        << "a worker's remains are still uncollected by init here";
    status = group.waitForEnd();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(SIGTERM, status->value);
}

TEST_F(ProcessStartTest, TheReaperCollectsOnlyItsOwnChildrenAndKeepsTheirStatus) {
    // Another part of the program has a child that ended and is waiting to
    // be collected by that part: every look at ended children sees it first.
    const pid_t foreign = ::fork();
    ASSERT_GE(foreign, 0);
    if (foreign == 0) ::_exit(7);
    siginfo_t info{};
    ASSERT_EQ(0, ::waitid(P_PID, static_cast<id_t>(foreign), &info, WEXITED | WNOWAIT));

    std::vector<Held> held;
    for (int code : {3, 4, 5}) {
        held.push_back(start(server + " --exit-code " + std::to_string(code)));
        ASSERT_TRUE(held.back());
    }
    // One whose handle is gone before it ends: collected all the same.
    int orphanedPid = 0;
    {
        Held early = start(server);
        ASSERT_TRUE(early);
        orphanedPid = early->pid();
        early.process.reset();
    }
    ASSERT_EQ(0, ::kill(orphanedPid, SIGKILL));
    Stat stat;
    ASSERT_TRUE(waitFor([&] { return readStat(orphanedPid, stat) && stat.state == 'Z'; }));
    for (auto& h : held) ASSERT_TRUE(waitFor([&] { return h->exited(); }));

    EXPECT_EQ(4, control.reapChildren());
    EXPECT_EQ(0, control.reapChildren());
    EXPECT_FALSE(readStat(orphanedPid, stat)) << "left a zombie";
    for (std::size_t i = 0; i < held.size(); ++i)
        EXPECT_EQ(std::optional<ExitStatus>(ExitStatus{ExitStatus::How::Code, 3 + static_cast<int>(i), false}),
                  held[i]->exitStatus());

    // The other part's child is still there for it.
    int status = 0;
    ASSERT_EQ(foreign, ::waitpid(foreign, &status, WNOHANG));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}

TEST_F(ProcessStartTest, NoStatusIsLostWhileTheReaperRunsBesideTheHandles) {
    std::atomic<bool> done{false};
    std::thread reaper([&] {
        while (!done) {
            control.reapChildren();
            std::this_thread::yield();
        }
    });
    std::vector<std::pair<int, Held>> runs;
    for (int i = 0; i < 20; ++i) runs.emplace_back(10 + i, start(server + " --exit-code " + std::to_string(10 + i)));
    for (auto& [code, h] : runs) {
        if (!h) continue;
        const auto status = h.waitForEnd();
        EXPECT_EQ(std::optional<ExitStatus>(ExitStatus{ExitStatus::How::Code, code, false}), status);
    }
    done = true;
    reaper.join();
}

TEST_F(ProcessStartTest, AsSubreaperOrphansOfAServerAreCollectedToo) {
    // Both ways of finding out that children have ended: looking at every
    // child at each reap, and reading their ends from a descriptor first.
    for (const bool endsRead : {false, true}) {
        SCOPED_TRACE(endsRead ? "ends read from a descriptor" : "every child looked at");
        const std::string file = dir.file(endsRead ? "orphan-read.log" : "orphan.log");
        const std::string problems = inChildProcess([&]() -> std::string {
            if (!platform::becomeChildSubreaper()) return "becomeChildSubreaper failed";
            // The test's child has this one thread.
            if (endsRead && !platform::watchChildEnds()) return "watchChildEnds failed";
            LinuxProcessControl own;
            LaunchRequest request;
            // The server leaves a worker behind and ends; the worker's ID is its output.
            request.commandLine = "sh -c '" + server + " --mark orphan & echo $!; exit 5'";
            request.outputFile = file;
            LaunchFailure failure;
            auto process = own.start(request, failure);
            if (!process) return "start failed: " + failure.text;
            waitFor([&] { return process->exited(); });
            int orphan = 0;
            waitFor([&] { return std::sscanf(readFile(file).c_str(), "%d", &orphan) == 1; });
            Stat stat;
            if (!waitFor([&] { return readStat(orphan, stat) && stat.parent == ::getpid(); }))
                return "the orphan was not adopted";
            ::kill(orphan, SIGKILL);
            waitFor([&] { return readStat(orphan, stat) && stat.state == 'Z'; });
            // Both the server and its orphan are collected by the reaper.
            std::string problems;
            if (const int collected = own.reapChildren(); collected != 2)
                problems += "collected " + std::to_string(collected) + "; ";
            if (readStat(orphan, stat)) problems += "the orphan is left a zombie; ";
            if (process->exitStatus() != std::optional<ExitStatus>(ExitStatus{ExitStatus::How::Code, 5, false}))
                problems += "the server's status was lost; ";
            if (const int again = own.reapChildren(); again != 0)
                problems += "collected " + std::to_string(again) + " more; ";
            // A later end is seen as well: what was read before is not all.
            request.commandLine = server + " --exit-code 3";
            auto later = own.start(request, failure);
            if (!later) return problems + "second start failed: " + failure.text;
            const int laterPid = later->pid();
            if (!waitFor([&] { return readStat(laterPid, stat) && stat.state == 'Z'; }))
                problems += "the second server did not end; ";
            if (const int collected = own.reapChildren(); collected != 1)
                problems += "then collected " + std::to_string(collected) + "; ";
            if (later->exitStatus() != std::optional<ExitStatus>(ExitStatus{ExitStatus::How::Code, 3, false}))
                problems += "the second server's status was lost";
            return problems;
        });
        EXPECT_EQ("", problems);
    }
}

// Waits until the child has ended and is left for its parent to collect.
bool endsUncollected(int pid) {
    return waitFor([&] {
        Stat stat;
        return readStat(pid, stat) && stat.state == 'Z';
    });
}

TEST_F(ProcessStartTest, TheExitWatcherTellsInOneQuestionWhetherAnyWatchedProcessHasEnded) {
    auto watcher = platform::makeExitWatcher();
    EXPECT_FALSE(watcher->noneEnded());  // not started: it cannot tell
    std::atomic<int> woken{0};
    ASSERT_TRUE(watcher->start([&] { ++woken; }));
    Held first = start(server);
    Held second = start(server);
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(watcher->watch(1, *first.process));
    ASSERT_TRUE(watcher->watch(2, *second.process));
    EXPECT_TRUE(watcher->noneEnded());
    // Once the process has gone it says so, whether or not its thread has
    // noticed yet, and until the end has been taken.
    int error = 0;
    second->signal(StopSignal::Kill, true, error);
    ASSERT_TRUE(endsUncollected(second->pid()));
    EXPECT_FALSE(watcher->noneEnded());
    ASSERT_TRUE(waitFor([&] { return woken > 0; }));
    EXPECT_FALSE(watcher->noneEnded());
    std::vector<std::uint64_t> ended;
    watcher->takeExited(ended);
    EXPECT_EQ(std::vector<std::uint64_t>{2}, ended);
    EXPECT_TRUE(watcher->noneEnded());
    // What is no longer watched does not count.
    watcher->unwatch(1);
    first->signal(StopSignal::Kill, true, error);
    ASSERT_TRUE(endsUncollected(first->pid()));
    EXPECT_TRUE(watcher->noneEnded());
    watcher->stop();
    EXPECT_FALSE(watcher->noneEnded());
}
