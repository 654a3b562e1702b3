#include "platform/win32/Win32ProcessHandle.h"

#include <mutex>
#include <string>
#include <vector>

#include "platform/StopHelper.h"
#include "platform/System.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

struct WindowSearch {
    DWORD pid;
    std::vector<HWND> windows;
};

BOOL CALLBACK collectWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == search->pid) search->windows.push_back(window);
    return TRUE;
}

}  // namespace

std::unique_ptr<Win32ProcessHandle> Win32ProcessHandle::open(int pid) {
    if (pid <= 0) return nullptr;
    const DWORD id = static_cast<DWORD>(pid);
    HANDLE handle = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    bool mayTerminate = handle != nullptr;
    if (!handle) handle = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!handle) return nullptr;
    return std::unique_ptr<Win32ProcessHandle>(new Win32ProcessHandle(pid, handle, mayTerminate, false));
}

std::unique_ptr<Win32ProcessHandle> Win32ProcessHandle::child(int pid, HANDLE handle) {
    return std::unique_ptr<Win32ProcessHandle>(new Win32ProcessHandle(pid, handle, true, true));
}

std::optional<ExitStatus> Win32ProcessHandle::exitStatus() {
    // The system would give any ended process's code to whoever holds it;
    // for one found rather than started it is left unknown all the same, as
    // on systems where only the parent is told.
    if (!launchedHere_ || !ended()) return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(handle_, &code)) return std::nullopt;
    return ExitStatus{ExitStatus::How::Code, static_cast<int>(code), false};
}

Win32ProcessHandle::~Win32ProcessHandle() {
    ::CloseHandle(handle_);
    if (writer_) ::CloseHandle(writer_);
}

void Win32ProcessHandle::setOutputWriter(int pid, HANDLE writer) {
    if (writer_) ::CloseHandle(writer_);
    outputWriter_ = pid;
    writer_ = writer;
}

bool Win32ProcessHandle::ended() const { return ::WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

bool Win32ProcessHandle::exited() { return ended() && outputDrained(); }

// Ended: told once its writer has written its last output.
bool Win32ProcessHandle::outputDrained() {
    if (drained_ || !writer_) return true;
    const ULONGLONG now = ::GetTickCount64();
    if (endSeenAt_ == 0) endSeenAt_ = now;
    if (::WaitForSingleObject(writer_, 0) == WAIT_OBJECT_0 || now - endSeenAt_ >= kOutputDrainGraceMs) drained_ = true;
    return drained_;
}

SignalResult Win32ProcessHandle::kill(int& error) {
    if (!mayTerminate_) {
        error = ERROR_ACCESS_DENIED;
        return SignalResult::NotPermitted;
    }
    if (::TerminateProcess(handle_, 0)) return SignalResult::Sent;
    error = static_cast<int>(::GetLastError());
    // Ending a process that is already on its way out is refused.
    if (ended()) return SignalResult::Gone;
    return error == ERROR_ACCESS_DENIED ? SignalResult::NotPermitted : SignalResult::Failed;
}

SignalResult Win32ProcessHandle::signal(StopSignal kind, bool /*group*/, int& error) {
    error = 0;
    if (ended()) return SignalResult::Gone;
    if (kind == StopSignal::Kill) return kill(error);
    if (closeWindows(static_cast<DWORD>(pid_))) return SignalResult::Sent;
    if (sendCtrlBreak(static_cast<DWORD>(pid_))) return SignalResult::Sent;
    return kill(error);
}

SignalResult Win32ProcessHandle::raise(StopSignal kind, bool group, int& error) {
    if (kind == StopSignal::Graceful || kind == StopSignal::Kill) return signal(kind, group, error);
    error = ERROR_NOT_SUPPORTED;
    return SignalResult::Failed;
}

bool Win32ProcessHandle::closeWindows(DWORD pid) {
    WindowSearch search{pid, {}};
    ::EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    bool posted = false;
    for (HWND window : search.windows)
        if (::PostMessageW(window, WM_CLOSE, 0, 0)) posted = true;
    return posted;
}

bool Win32ProcessHandle::sendCtrlBreak(DWORD groupId) {
    // Console control events reach only the processes of the sender's own
    // console, and a process has one console at most: the helper, started
    // without one, joins the server's console and sends it from there.
    if (sendCtrlBreakThroughHelper(groupId)) return true;
    // Without the helper program a process with no console of its own (the
    // window program, a service) can join the server's console for the
    // moment of the send; one console at a time, so one send at a time.
    static std::mutex attaching;
    std::lock_guard<std::mutex> lock(attaching);
    if (!::AttachConsole(groupId)) return false;
    const bool sent = ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, groupId) != 0;
    ::FreeConsole();
    return sent;
}

std::string Win32ProcessHandle::stopHelperPath() {
    const std::string self = executablePath();
    const auto slash = self.find_last_of("\\/");
    if (slash == std::string::npos) return {};
    return self.substr(0, slash + 1) + "procwardd" + executableSuffix();
}

bool Win32ProcessHandle::sendCtrlBreakThroughHelper(DWORD groupId) {
    const std::string helper = stopHelperPath();
    if (helper.empty() || !fileExists(helper)) return false;
    std::string line = "\"" + helper + "\" " + kStopHelperOption + " " + std::to_string(groupId);
    std::wstring text = wideText(line);
    const std::wstring program = wideText(helper);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    // No console (DETACHED_PROCESS), so that it may join the server's; no
    // handle of the supervisor inherited.
    if (!::CreateProcessW(program.c_str(), text.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP,
                          nullptr, nullptr, &startup, &created))
        return false;
    // Not waited for: the loop that stops a server never waits. Should the
    // helper fail, the server is ended once its stop timeout has passed, as
    // one that ignores the Ctrl-Break is.
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
    return true;
}

}  // namespace platform
