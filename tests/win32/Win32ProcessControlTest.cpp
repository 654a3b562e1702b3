// Launching, holding, stopping and watching real Windows processes.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/ExitWatcher.h"
#include "platform/ProcessControl.h"
#include "platform/ProcessTable.h"
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

TEST_F(Win32ProcessControlTest, AGracefulStopSendsCtrlBreakToAConsoleProgram) {
    const std::string saved = dir.path() + "\\saved.txt";
    const int pid = launch(exe + " --on-term " + saved);
    ASSERT_GT(pid, 0);
    std::unique_ptr<platform::ProcessHandle> handle = control.open(pid);
    ASSERT_TRUE(handle);
    if (!platform::Win32ProcessHandle::sendCtrlBreak(static_cast<DWORD>(pid)))
        GTEST_SKIP() << "no Ctrl-Break can be sent to the server's console from here (this program "
                     << (::GetConsoleWindow() ? "has a console of its own" : "cannot attach to it") << ")";
    EXPECT_TRUE(eventually([&] { return handle->exited(); }));
    EXPECT_EQ(0u, readFile(saved).find("saved"));
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
