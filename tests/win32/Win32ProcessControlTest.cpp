// Launching, holding, stopping and watching real Windows processes.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

#include "platform/ExitWatcher.h"
#include "platform/FileStore.h"
#include "platform/OutputWriter.h"
#include "platform/ProcessControl.h"
#include "platform/ProcessIdentity.h"
#include "platform/ProcessTable.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "platform/win32/Win32ProcessControl.h"
#include "platform/win32/Win32ProcessHandle.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinTestServer.h"

namespace {

bool running(int pid) {
    platform::ProcessSnapshot snapshot;
    if (!platform::processTable().snapshot(snapshot)) return false;
    return std::any_of(snapshot.begin(), snapshot.end(), [&](const platform::ProcessEntry& e) { return e.pid == pid; });
}

// The children of a process with a given file name.
std::vector<int> childrenNamed(int parent, const char* name) {
    std::vector<int> found;
    platform::ProcessSnapshot snapshot;
    if (!platform::processTable().snapshot(snapshot)) return found;
    for (const auto& entry : snapshot)
        if (entry.parentPid == parent && platform::equalsNoCase(entry.exeFile, name)) found.push_back(entry.pid);
    return found;
}

bool hasWindow(int pid) {
    struct Search {
        DWORD pid;
        bool seen;
    } search{static_cast<DWORD>(pid), false};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if (owner == s->pid) s->seen = true;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.seen;
}

class Win32ProcessControlTest : public ::testing::Test {
protected:
    void SetUp() override { exe = WinTestServer::copyProgram(dir, "svc.exe"); }
    void TearDown() override {
        for (int pid : launched) control.terminate(pid);
    }

    // Launches through the supervisor's launcher.
    int launch(const std::string& commandLine) {
        int pid = 0, error = 0;
        EXPECT_TRUE(control.launch(commandLine, pid, error)) << commandLine << ": error " << error;
        if (pid) launched.push_back(pid);
        return pid;
    }

    TempDir dir;
    std::string exe;
    platform::Win32ProcessControl control;
    std::vector<int> launched;
};

}  // namespace

TEST_F(Win32ProcessControlTest, ALaunchedProgramRunsUntilTerminated) {
    const int pid = launch(exe + " -a 1");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(running(pid));
    std::string text;
    ASSERT_TRUE(eventually([&] { return platform::processTable().commandLine(pid, text) && !text.empty(); }));
    EXPECT_EQ(exe + " -a 1", text);
    EXPECT_EQ(platform::TerminateResult::Terminated, control.terminate(pid));
    EXPECT_FALSE(running(pid));
    EXPECT_EQ(platform::TerminateResult::CannotOpen, control.terminate(pid));
    EXPECT_EQ(platform::TerminateResult::CannotOpen, control.terminate(0));
}

TEST_F(Win32ProcessControlTest, AProgramThatDoesNotExistIsNotLaunched) {
    int pid = 0, error = 0;
    EXPECT_FALSE(control.launch(dir.path() + "\\missing.exe -x", pid, error));
    EXPECT_EQ(0, pid);
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
    EXPECT_FALSE(control.launch("", pid, error));
}

TEST_F(Win32ProcessControlTest, AHandleKnowsWhenItsProcessHasEndedAndKillsItOnce) {
    const int pid = launch(exe);
    ASSERT_GT(pid, 0);
    std::unique_ptr<platform::ProcessHandle> handle = control.open(pid);
    ASSERT_TRUE(handle);
    EXPECT_EQ(pid, handle->pid());
    EXPECT_FALSE(handle->exited());
    EXPECT_NE(-1, handle->waitable());
    int error = 0;
    EXPECT_EQ(platform::SignalResult::Sent, handle->signal(platform::StopSignal::Kill, false, error));
    EXPECT_TRUE(eventually([&] { return handle->exited(); }));
    EXPECT_EQ(platform::SignalResult::Gone, handle->signal(platform::StopSignal::Kill, false, error));
    // The handle keeps its process: it stays the ended one.
    EXPECT_TRUE(handle->exited());
    EXPECT_FALSE(control.open(0));
}

TEST_F(Win32ProcessControlTest, AGracefulStopClosesTheWindowsOfAProgramThatHasThem) {
    const std::string saved = dir.path() + "\\saved.txt";
    const int pid = launch(exe + " --window --on-term " + saved);
    ASSERT_GT(pid, 0);
    std::unique_ptr<platform::ProcessHandle> handle = control.open(pid);
    ASSERT_TRUE(handle);
    // Its window comes up a moment after the start.
    if (!eventually([&] { return hasWindow(pid); }))
        GTEST_SKIP() << "the server's window is not listed by EnumWindows here";
    int error = 0;
    EXPECT_EQ(platform::SignalResult::Sent, handle->signal(platform::StopSignal::Graceful, false, error));
    EXPECT_TRUE(eventually([&] { return handle->exited(); }));
    // It saved its state: the stop was the graceful one, not a kill.
    EXPECT_EQ(0u, readFile(saved).find("saved"));
}

TEST_F(Win32ProcessControlTest, AGracefulStopSendsCtrlBreakToAConsoleProgramThoughThisOneHasAConsole) {
    // This program runs in a console, as procwardd started from one does:
    // the Ctrl-Break goes through the helper.
    const std::string saved = dir.path() + "\\saved.txt";
    const int port = freePort();
    const int pid = launch(exe + " --on-term " + saved + " --listen 127.0.0.1:" + std::to_string(port));
    ASSERT_GT(pid, 0);
    std::unique_ptr<platform::ProcessHandle> handle = control.open(pid);
    ASSERT_TRUE(handle);
    // Up, with its handler of the event in place: one that came before
    // would end it the system's way, saving nothing.
    ASSERT_TRUE(eventually([&] { return acceptsConnections(port); }, 30000));
    ASSERT_TRUE(platform::fileExists(platform::Win32ProcessHandle::stopHelperPath()))
        << platform::Win32ProcessHandle::stopHelperPath();
    int error = 0;
    EXPECT_EQ(platform::SignalResult::Sent, handle->signal(platform::StopSignal::Graceful, false, error));
    const bool ended = eventually([&] { return handle->exited(); }, runningUnderWine() ? 20000 : 120000);
    if (!ended && runningUnderWine()) GTEST_SKIP() << kWineDropsConsoleEvents;
    EXPECT_TRUE(ended);
    // It saved its state: the stop was the Ctrl-Break, not a kill.
    EXPECT_EQ(0u, readFile(saved).find("saved"));
}

TEST_F(Win32ProcessControlTest, TheStopHelperSendsNothingForABadRequest) {
    const std::string helper = platform::Win32ProcessHandle::stopHelperPath();
    // Anything but a running console process: it ends with 1, and a
    // running server is not touched by a request for another.
    const int pid = launch(exe + " --on-term " + dir.path() + "\\saved.txt");
    ASSERT_GT(pid, 0);
    for (const std::string arguments : {"--send-ctrl-break x12", "--send-ctrl-break 0", "--send-ctrl-break 4000000"}) {
        std::string line = "\"" + helper + "\" " + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created{};
        ASSERT_TRUE(::CreateProcessA(helper.c_str(), line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                                     nullptr, &startup, &created));
        ::WaitForSingleObject(created.hProcess, 60000);
        DWORD code = 0;
        ::GetExitCodeProcess(created.hProcess, &code);
        ::CloseHandle(created.hThread);
        ::CloseHandle(created.hProcess);
        EXPECT_EQ(1u, code) << arguments;
    }
    EXPECT_TRUE(running(pid));
    EXPECT_FALSE(platform::fileExists(dir.path() + "\\saved.txt"));
}

TEST_F(Win32ProcessControlTest, AGracefulStopThatCannotReachTheProgramEndsItAllTheSame) {
    // An ignored Ctrl-Break and no window: the stop still ends the process.
    const int pid = launch(exe + " --ignore-term");
    ASSERT_GT(pid, 0);
    std::unique_ptr<platform::ProcessHandle> handle = control.open(pid);
    ASSERT_TRUE(handle);
    int error = 0;
    const platform::SignalResult result = handle->signal(platform::StopSignal::Graceful, false, error);
    EXPECT_EQ(platform::SignalResult::Sent, result);
    if (!eventually([&] { return handle->exited(); }, 3000)) {
        // The Ctrl-Break reached it and was ignored, as it asked: a kill follows.
        EXPECT_EQ(platform::SignalResult::Sent, handle->signal(platform::StopSignal::Kill, false, error));
        EXPECT_TRUE(eventually([&] { return handle->exited(); }));
    }
}

TEST_F(Win32ProcessControlTest, TheConsoleHostOfALaunchedServerIsEnded) {
    const int pid = launch(exe);
    ASSERT_GT(pid, 0);
    std::vector<int> hosts;
    eventually([&] { return !(hosts = childrenNamed(pid, "conhost.exe")).empty(); }, 3000);
    if (hosts.empty()) GTEST_SKIP() << "the system made no conhost.exe child for the server's console";
    control.closeConsoleHost(pid);
    EXPECT_TRUE(eventually([&] { return !running(hosts.front()); }));
    EXPECT_TRUE(running(pid));
}

TEST_F(Win32ProcessControlTest, ClosingConsoleHostsLeavesOtherProcessesAlone) {
    const int server = launch(exe);
    const int other = launch(exe + " -other");
    ASSERT_GT(server, 0);
    ASSERT_GT(other, 0);
    // The second server's own console host (if any) is not the first's.
    const std::vector<int> otherHosts = childrenNamed(other, "conhost.exe");
    control.closeConsoleHost(server);
    EXPECT_TRUE(running(server));
    EXPECT_TRUE(running(other));
    for (int host : otherHosts) EXPECT_TRUE(running(host));
}

TEST_F(Win32ProcessControlTest, TheExitWatcherReportsAnEndedProcessOnce) {
    HANDLE woken = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::unique_ptr<platform::ExitWatcher> watcher = platform::makeExitWatcher();
    ASSERT_TRUE(watcher->start([woken] { ::SetEvent(woken); }));
    const int first = launch(exe + " -first");
    const int second = launch(exe + " -second");
    auto firstHandle = control.open(first);
    auto secondHandle = control.open(second);
    ASSERT_TRUE(firstHandle && secondHandle);
    ASSERT_TRUE(watcher->watch(1, *firstHandle));
    ASSERT_TRUE(watcher->watch(2, *secondHandle));
    // The watcher keeps what it needs of the handle.
    firstHandle.reset();
    EXPECT_EQ(platform::TerminateResult::Terminated, control.terminate(first));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(woken, 10000));
    std::vector<std::uint64_t> ids;
    watcher->takeExited(ids);
    EXPECT_EQ(std::vector<std::uint64_t>{1}, ids);
    watcher->takeExited(ids);
    EXPECT_TRUE(ids.empty());
    // An unwatched process ends unreported.
    watcher->unwatch(2);
    EXPECT_EQ(platform::TerminateResult::Terminated, control.terminate(second));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(woken, 500));
    watcher->takeExited(ids);
    EXPECT_TRUE(ids.empty());
    watcher->stop();
    ::CloseHandle(woken);
}

namespace {

// A started server, ended when the test ends.
struct Started {
    std::unique_ptr<platform::ProcessHandle> process;
    explicit Started(std::unique_ptr<platform::ProcessHandle> p) : process(std::move(p)) {}
    Started(Started&&) = default;
    ~Started() {
        if (!process) return;
        int error = 0;
        process->signal(platform::StopSignal::Kill, false, error);
        eventually([&] { return process->exited(); });
    }
};

class Win32ProcessStartTest : public Win32ProcessControlTest {
protected:
    Started start(const platform::LaunchRequest& request) {
        platform::LaunchFailure failure;
        Started started{control.start(request, failure)};
        EXPECT_TRUE(started.process) << request.commandLine << ": " << failure.text;
        return started;
    }
    std::optional<platform::ExitStatus> endOf(Started& started) {
        eventually([&] { return started.process->exited(); });
        return started.process->exitStatus();
    }
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Paths compare ignoring case.
bool hasPathLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return platform::equalsNoCase(l, line); });
}

}  // namespace

TEST_F(Win32ProcessStartTest, AStartedServerIsHeldAndTellsItsExitCode) {
    platform::LaunchRequest request;
    request.commandLine = exe + " --exit-code 3";
    Started exits = start(request);
    ASSERT_TRUE(exits.process);
    EXPECT_TRUE(exits.process->launchedHere());
    const auto code = endOf(exits);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ((platform::ExitStatus{platform::ExitStatus::How::Code, 3, false}), *code);
    EXPECT_EQ("exited with code 3", platform::exitStatusText(*code));

    request.commandLine = exe + " --exit-code 0xC0000005";
    Started crashes = start(request);
    ASSERT_TRUE(crashes.process);
    const auto crash = endOf(crashes);
    ASSERT_TRUE(crash.has_value());
    EXPECT_EQ("exited with code 0xC0000005 (access violation)", platform::exitStatusText(*crash));
    EXPECT_EQ("exited with code 0xC00000FD (stack overflow)",
              platform::exitStatusText({platform::ExitStatus::How::Code, static_cast<int>(0xC00000FDu), false}));
    EXPECT_EQ("exited with code 0xC000013A (Ctrl-C)",
              platform::exitStatusText({platform::ExitStatus::How::Code, static_cast<int>(0xC000013Au), false}));

    // Found rather than started: its end is not known here.
    const int pid = launch(exe + " -found");
    auto found = control.open(pid);
    ASSERT_TRUE(found);
    EXPECT_FALSE(found->launchedHere());
    control.terminate(pid);
    EXPECT_TRUE(found->exited());
    EXPECT_FALSE(found->exitStatus().has_value());
}

TEST_F(Win32ProcessStartTest, TheWriterRotatesByRenamingWithinTheLimitAndTheEndWaitsForItsLastLines) {
    const std::string writer = platform::outputWriterProgram();
    ASSERT_FALSE(writer.empty()) << "no procward-output.exe beside the tests";
    const std::string file = dir.path() + "\\logs\\svc.log";
    // Read as the supervisor reads them, sharing the right to rename: a
    // reader that does not blocks a rotation while it holds the file.
    auto contents = [](const std::string& path) {
        std::string bytes;
        platform::readWholeFile(path, bytes);
        return bytes;
    };
    platform::LaunchRequest request;
    request.commandLine = exe + " --count-lines 1 20";
    request.outputFile = file;
    request.outputWriter = writer;
    request.outputMaxBytes = 16 * 1024;
    request.outputBackups = 2;
    {
        Started started = start(request);
        ASSERT_TRUE(started.process);
        EXPECT_GT(started.process->outputWriter(), 0);
        // Round more than once: the oldest backup no longer holds the
        // first lines (a file takes about 170).
        ASSERT_TRUE(eventually(
            [&] {
                const std::string oldest = contents(file + ".2");
                return oldest.size() > 15 && oldest.compare(0, 15, "count 00000200 ") > 0;
            },
            30000))
            << contents(file).substr(0, 400);
    }
    // Each file within the limit, of whole lines, and together a run
    // without a gap up to where the server was ended.
    unsigned long long expected = 0;
    for (const std::string& name : {file + ".2", file + ".1", file}) {
        const std::string text = contents(name);
        EXPECT_LE(text.size(), 16u * 1024) << name;
        ASSERT_FALSE(text.empty()) << name;
        EXPECT_EQ('\n', text.back()) << name;
        for (const std::string& line : linesOf(text)) {
            ASSERT_EQ(0u, line.find("count ")) << name << ": " << line;
            const unsigned long long n = std::stoull(line.substr(6, 8));
            if (expected != 0) {
                ASSERT_EQ(expected, n) << name;
            }
            expected = n + 1;
        }
    }

    // The end is told once the last words are in the file.
    request.commandLine = exe + " --say bye --exit-code 0";
    request.outputFile = dir.path() + "\\bye.log";
    Started said = start(request);
    ASSERT_TRUE(said.process);
    EXPECT_EQ(std::optional<platform::ExitStatus>(platform::ExitStatus{}), endOf(said));
    const std::vector<std::string> lines = linesOf(contents(request.outputFile));
    EXPECT_TRUE(hasLine(lines, "bye (stdout)"));
    EXPECT_TRUE(hasLine(lines, "bye (stderr)"));
}

TEST_F(Win32ProcessStartTest, OutputWorkingDirectoryAndEnvironmentAreTheServersOwn) {
    ScopedEnvironment own("PROCWARD_SECRET", "supervisor only");
    ScopedEnvironment notify("NOTIFY_SOCKET", "x");
    ScopedEnvironment kept("PW_KEPT", "kept");
    const std::string file = dir.path() + "\\logs\\servers\\svc.log";
    platform::LaunchRequest request;
    request.commandLine = exe + " --say hello --print-cwd --print-env --exit-code 0";
    request.outputFile = file;
    request.environment = {{"PW_NEW", "1"}, {"pw_kept", "replaced"}};
    {
        Started started = start(request);
        ASSERT_TRUE(started.process);
        EXPECT_EQ(std::optional<platform::ExitStatus>(platform::ExitStatus{}), endOf(started));
    }
    request.commandLine = exe + " --say again --exit-code 0";
    {
        Started started = start(request);
        ASSERT_TRUE(started.process);
        endOf(started);
    }
    const std::vector<std::string> lines = linesOf(readFile(file));
    ASSERT_FALSE(lines.empty()) << "nothing in " << file;
    EXPECT_EQ("hello (stdout)", lines.front());
    EXPECT_TRUE(hasLine(lines, "hello (stderr)"));
    // The default working directory is the program's.
    EXPECT_TRUE(hasPathLine(lines, "cwd=" + dir.path())) << readFile(file);
    EXPECT_TRUE(hasLine(lines, "PW_NEW=1"));
    EXPECT_TRUE(hasLine(lines, "pw_kept=replaced"));
    for (const std::string& line : lines) {
        EXPECT_NE(0u, line.find("PROCWARD_SECRET=")) << line;
        EXPECT_NE(0u, line.find("NOTIFY_SOCKET=")) << line;
    }
    // Appended by the second start.
    EXPECT_EQ("again (stderr)", lines.back());
    EXPECT_TRUE(hasLine(lines, "again (stdout)"));

    const std::string work = dir.path() + "\\work";
    ASSERT_TRUE(::CreateDirectoryA(work.c_str(), nullptr));
    request.commandLine = exe + " --print-cwd --exit-code 0";
    request.workingDirectory = work;
    request.outputFile = dir.path() + "\\cwd.log";
    {
        Started started = start(request);
        ASSERT_TRUE(started.process);
        endOf(started);
    }
    EXPECT_TRUE(hasPathLine(linesOf(readFile(request.outputFile)), "cwd=" + work)) << readFile(request.outputFile);
}

TEST_F(Win32ProcessStartTest, WhatCannotBeStartedIsRefusedWithTheReason) {
    platform::LaunchRequest request;
    request.commandLine = exe;
    request.user = "nobody";
    platform::LaunchFailure failure;
    EXPECT_FALSE(control.start(request, failure));
    EXPECT_EQ("cannot run as user 'nobody': not supported on Windows", failure.text);

    request.user.clear();
    request.commandLine = dir.path() + "\\missing.exe -x";
    EXPECT_FALSE(control.start(request, failure));
    EXPECT_TRUE(failure.error == ERROR_FILE_NOT_FOUND || failure.error == ERROR_PATH_NOT_FOUND) << failure.error;
    EXPECT_EQ(0u, failure.text.find("cannot execute '" + dir.path() + "\\missing.exe': ")) << failure.text;

    request.commandLine = exe;
    request.workingDirectory = dir.path() + "\\missing";
    EXPECT_FALSE(control.start(request, failure));
    EXPECT_EQ(0u, failure.text.find("cannot change to the working directory '" + dir.path() + "\\missing': "))
        << failure.text;
}

TEST_F(Win32ProcessStartTest, TheIdentityIsTheCreationTime) {
    platform::LaunchRequest request;
    request.commandLine = exe;
    Started started = start(request);
    ASSERT_TRUE(started.process);
    const int pid = started.process->pid();
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    ASSERT_TRUE(process);
    FILETIME created{}, exited{}, kernel{}, user{};
    ASSERT_TRUE(::GetProcessTimes(process, &created, &exited, &kernel, &user));
    ::CloseHandle(process);
    const std::uint64_t expected = (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    EXPECT_EQ(std::optional<std::uint64_t>(expected), platform::processIdentity(pid));
    EXPECT_EQ("", platform::bootId());
    int error = 0;
    started.process->signal(platform::StopSignal::Kill, false, error);
    ASSERT_TRUE(eventually([&] { return started.process->exited(); }));
    // Ended, though still held here: no longer the process that was running.
    EXPECT_FALSE(platform::processIdentity(pid).has_value());
}
