#include "platform/win32/Win32ProcessControl.h"

#include <windows.h>
#include <tlhelp32.h>

#include <vector>

#include "platform/Text.h"
#include "platform/win32/Win32ProcessHandle.h"

namespace platform {
namespace {

// How long terminate waits for an ended process to go.
constexpr DWORD kWaitForEndMs = 2000;

}  // namespace

bool Win32ProcessControl::launch(const std::string& commandLine, int& pid, int& error) {
    pid = 0;
    error = 0;
    if (commandLine.empty()) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    // CreateProcess may write into the command line it is given.
    std::vector<char> text(commandLine.begin(), commandLine.end());
    text.push_back('\0');
    // No handle of the supervisor is inherited; the working directory is
    // the supervisor's (the directory of its executable).
    if (!::CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE,
                          CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &created)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
    pid = static_cast<int>(created.dwProcessId);
    return true;
}

std::unique_ptr<ProcessHandle> Win32ProcessControl::open(int pid) { return Win32ProcessHandle::open(pid); }

TerminateResult Win32ProcessControl::terminate(int pid) {
    if (pid <= 0) return TerminateResult::CannotOpen;
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) return TerminateResult::CannotOpen;
    // An ended process stays openable while anyone holds a handle to it.
    if (::WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        ::CloseHandle(process);
        return TerminateResult::CannotOpen;
    }
    TerminateResult result = TerminateResult::Terminated;
    if (::TerminateProcess(process, 0))
        ::WaitForSingleObject(process, kWaitForEndMs);
    else if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
        result = TerminateResult::Failed;
    ::CloseHandle(process);
    return result;
}

void Win32ProcessControl::closeConsoleHost(int serverPid) {
    if (serverPid <= 0) return;
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD host = 0;
    for (BOOL more = ::Process32First(snap, &entry); more; more = ::Process32Next(snap, &entry)) {
        if (entry.th32ParentProcessID == static_cast<DWORD>(serverPid) &&
            equalsNoCase(entry.szExeFile, "conhost.exe")) {
            host = entry.th32ProcessID;
            break;
        }
        entry.dwSize = sizeof entry;
    }
    ::CloseHandle(snap);
    if (host == 0) return;
    if (HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, host)) {
        ::TerminateProcess(process, 0);
        ::CloseHandle(process);
    }
}

ProcessControl& defaultProcessControl() {
    static Win32ProcessControl control;
    return control;
}

}  // namespace platform
