#include "tests/win32/support/WinDaemon.h"

#include <stdexcept>

#include "platform/ProcessTable.h"
#include "platform/win32/Win32WideText.h"
#include "tests/win32/support/WinTestServer.h"
#include "tests/win32/support/WinTestText.h"

FinishedRun runToEnd(const std::string& commandLine, const std::string& directory) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    FinishedRun result;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        result.code = 999;
        return result;
    }
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION created{};
    std::wstring text = platform::wideText(commandLine);
    const BOOL started = ::CreateProcessW(nullptr, text.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                          platform::wideText(directory).c_str(), &startup, &created);
    ::CloseHandle(writeEnd);
    if (!started) {
        ::CloseHandle(readEnd);
        result.code = 998;
        return result;
    }
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) result.out.append(buffer, n);
    ::WaitForSingleObject(created.hProcess, 60000);
    ::GetExitCodeProcess(created.hProcess, &result.code);
    ::CloseHandle(created.hProcess);
    ::CloseHandle(created.hThread);
    ::CloseHandle(readEnd);
    return result;
}

int pidOfProgram(const std::string& fileName) {
    platform::ProcessSnapshot snapshot;
    if (!platform::processTable().snapshot(snapshot)) return 0;
    for (const auto& entry : snapshot)
        if (_stricmp(entry.exeFile.c_str(), fileName.c_str()) == 0) return entry.pid;
    return 0;
}

bool processRuns(int pid) {
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) return false;
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

WinDaemon::WinDaemon(const TempDir& dir) : directory_(dir.path()), program_(dir.path() + "\\procwardd.exe") {
    const std::string source = testProgramDirectory() + "\\procwardd.exe";
    if (!::CopyFileA(source.c_str(), program_.c_str(), FALSE))
        throw std::runtime_error("cannot copy " + source + " to " + program_);
}

WinDaemon::~WinDaemon() {
    if (process_) {
        if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_, 1);
            ::WaitForSingleObject(process_, 5000);
        }
        ::CloseHandle(process_);
    }
    // Servers outlive a daemon that is terminated; each copy has a file
    // name of the test's own, so only the test's programs are ended.
    for (const std::string& name : programsToEnd_)
        for (int pid = pidOfProgram(name), tries = 0; pid != 0 && tries < 20; pid = pidOfProgram(name), ++tries) {
            const HANDLE left = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
            if (!left) break;
            ::TerminateProcess(left, 1);
            ::WaitForSingleObject(left, 5000);
            ::CloseHandle(left);
        }
}

bool WinDaemon::start() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    std::vector<char> text(program_.begin(), program_.end());
    text.push_back('\0');
    if (!::CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP,
                          nullptr, testProgramDirectory().c_str(), &startup, &created))
        return false;
    ::CloseHandle(created.hThread);
    process_ = created.hProcess;
    return true;
}

FinishedRun WinDaemon::run(const std::string& arguments) const {
    return runToEnd("\"" + program_ + "\" " + arguments, directory_);
}

std::string WinDaemon::log() const { return readFile(directory_ + "\\logs\\" + todaysLogName("procwardd")); }
