#include "platform/win32/Win32ProcessControl.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/ServerEnvironment.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "platform/win32/Win32CommandLine.h"
#include "platform/win32/Win32ProcessHandle.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

// How long terminate waits for an ended process to go.
constexpr DWORD kWaitForEndMs = 2000;

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// The pipe between a server and its writer: room for a burst of output
// while the writer is busy with the file.
constexpr DWORD kOutputPipeBytes = 1024 * 1024;

// The first word of a command line, as written (for messages).
std::string programToken(const std::string& commandLine) {
    const std::string line = trimWhite(commandLine);
    if (!line.empty() && line[0] == '"') {
        const auto close = line.find('"', 1);
        return line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return line.substr(0, line.find_first_of(" \t"));
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return {};
    // "C:\server.exe" lives in "C:\", not in the drive's current directory "C:".
    if (slash == 2 && path[1] == ':') return path.substr(0, 3);
    return path.substr(0, slash);
}

bool createParentDirectories(const std::string& path, DWORD& error) {
    const std::string parent = directoryOf(path);
    if (parent.empty() || (parent.size() == 3 && parent[1] == ':')) return true;
    const DWORD attributes = ::GetFileAttributesW(wideText(parent).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return true;
    if (!createParentDirectories(parent, error)) return false;
    if (!::CreateDirectoryW(wideText(parent).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        error = ::GetLastError();
        return false;
    }
    return true;
}

// The name of an environment entry; the per-drive directories are kept as
// "=C:=C:\dir", whose name ends at the second '='.
std::string entryName(const std::string& entry) {
    const auto equals = entry.find('=', entry.empty() || entry[0] != '=' ? 0 : 1);
    return entry.substr(0, equals);
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The block CreateProcessW takes with CREATE_UNICODE_ENVIRONMENT:
// "NAME=VALUE\0" each, sorted by name ignoring case, ending in an empty
// entry. The wide block keeps values outside the ANSI code page whole.
std::vector<wchar_t> environmentBlock(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> own;
    if (wchar_t* block = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1)
            own.push_back(utf8FromWide(entry));
        ::FreeEnvironmentStringsW(block);
    }
    std::vector<std::string> entries =
        ServerEnvironment::build(own, ServerEnvironment::startedByServiceManager(), extra, true);
    std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
        return upper(entryName(a)) < upper(entryName(b));
    });
    std::vector<wchar_t> block;
    for (const std::string& entry : entries) {
        const std::wstring wide = wideText(entry);
        block.insert(block.end(), wide.begin(), wide.end());
        block.push_back(L'\0');
    }
    if (entries.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// A command line as CreateProcessW takes it: wide, NUL-terminated and
// writable (the call may write into it).
std::vector<wchar_t> writableCommandLine(const std::string& commandLine) {
    const std::wstring wide = wideText(commandLine);
    std::vector<wchar_t> text(wide.begin(), wide.end());
    text.push_back(L'\0');
    return text;
}

// CreateProcessW with `in` and `out` as the standard streams (output and
// error), inherited as the only handles: the handle list keeps every other
// inheritable handle of the supervisor (another thread may be starting a
// program just now) out of the new process. `listFailed` tells a failure
// before the creation (the error is then not the program's).
bool createWithStreams(const std::string& commandLine, DWORD flags, bool hidden, const wchar_t* environment,
                       const wchar_t* directory, HANDLE in, HANDLE out, PROCESS_INFORMATION& created, DWORD& error,
                       bool& listFailed) {
    HANDLE inherited[2] = {in, out};
    const std::size_t inheritedCount = out == in ? 1 : 2;
    SIZE_T listSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listMemory(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listMemory.data());
    listFailed = !::InitializeProcThreadAttributeList(list, 1, 0, &listSize);
    if (listFailed) {
        error = ::GetLastError();
        return false;
    }
    if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                     inheritedCount * sizeof(HANDLE), nullptr, nullptr)) {
        error = ::GetLastError();
        listFailed = true;
        ::DeleteProcThreadAttributeList(list);
        return false;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | (hidden ? STARTF_USESHOWWINDOW : 0);
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = in;
    startup.StartupInfo.hStdOutput = out;
    startup.StartupInfo.hStdError = out;
    startup.lpAttributeList = list;
    std::vector<wchar_t> text = writableCommandLine(commandLine);
    const BOOL ok = ::CreateProcessW(nullptr, text.data(), nullptr, nullptr, TRUE,
                                     flags | EXTENDED_STARTUPINFO_PRESENT, const_cast<wchar_t*>(environment),
                                     directory, &startup.StartupInfo, &created);
    error = ok ? 0 : ::GetLastError();
    ::DeleteProcThreadAttributeList(list);
    return ok;
}

// Starts the writer of a server's output (platform/OutputWriter.h) with
// `pipeRead` as its standard input and `nul` as its standard output (it
// opens the server's file itself), without a window and in a process group of its own, so a
// Ctrl-Break meant for the server does not reach it: it ends when the last
// holder of the pipe's write end closes it. Returns its process handle
// (null when it could not be started) and `pid`.
HANDLE startOutputWriter(const LaunchRequest& request, HANDLE nul, HANDLE pipeRead, DWORD& pid) {
    pid = 0;
    const std::string line = Win32CommandLine::quotedWord(request.outputWriter) + " " +
                             Win32CommandLine::quotedWord(request.outputFile) + " " +
                             std::to_string(request.outputMaxBytes > 0 ? request.outputMaxBytes : 0) + " " +
                             std::to_string(request.outputBackups > 0 ? request.outputBackups : 0);
    PROCESS_INFORMATION created{};
    DWORD error = 0;
    bool listFailed = false;
    if (!createWithStreams(line, CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, false, nullptr, nullptr, pipeRead, nul,
                           created, error, listFailed))
        return nullptr;
    ::CloseHandle(created.hThread);
    pid = created.dwProcessId;
    return created.hProcess;
}

}  // namespace

bool Win32ProcessControl::launch(const std::string& commandLine, int& pid, int& error) {
    pid = 0;
    error = 0;
    if (commandLine.empty()) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    std::vector<wchar_t> text = writableCommandLine(commandLine);
    // No handle of the supervisor is inherited; the working directory is
    // the supervisor's (the directory of its executable).
    if (!::CreateProcessW(nullptr, text.data(), nullptr, nullptr, FALSE,
                          CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &created)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
    pid = static_cast<int>(created.dwProcessId);
    return true;
}

std::unique_ptr<ProcessHandle> Win32ProcessControl::start(const LaunchRequest& request, LaunchFailure& failure) {
    failure = LaunchFailure{};
    auto fail = [&failure](DWORD error, std::string text) -> std::unique_ptr<ProcessHandle> {
        failure.error = static_cast<int>(error);
        failure.text = std::move(text);
        return nullptr;
    };
    if (!request.user.empty())
        return fail(ERROR_NOT_SUPPORTED, "cannot run as user " + quoted(request.user) + ": not supported on Windows");
    if (!request.group.empty())
        return fail(ERROR_NOT_SUPPORTED, "cannot run as group " + quoted(request.group) + ": not supported on Windows");
    if (trimWhite(request.commandLine).empty()) return fail(ERROR_INVALID_PARAMETER, "the command line is empty");
    for (const auto& variable : request.environment)
        if (variable.first.empty() || variable.first.find('=') != std::string::npos ||
            variable.first.find('\0') != std::string::npos || variable.second.find('\0') != std::string::npos)
            return fail(ERROR_INVALID_PARAMETER, "cannot set the environment variable " + quoted(variable.first) +
                                                     ": not a valid name or value");

    std::string directory = request.workingDirectory;
    if (directory.empty()) {
        directory = directoryOf(programFile(request.commandLine));
    } else {
        const DWORD attributes = ::GetFileAttributesW(wideText(directory).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : ERROR_DIRECTORY;
            return fail(error, "cannot change to the working directory " + quoted(directory) + ": " +
                                   errorText(static_cast<int>(error)));
        }
    }
    const std::vector<wchar_t> environment = environmentBlock(request.environment);

    // The standard streams are handed over as inheritable handles, and
    // only these: the handle list keeps every other inheritable handle of
    // the supervisor (another thread may be starting a program just now)
    // out of the server.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                               OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return fail(error, "cannot open the null device: " + errorText(static_cast<int>(error)));
    }
    HANDLE output = nul;
    if (!request.outputFile.empty()) {
        DWORD error = 0;
        if (!createParentDirectories(request.outputFile, error)) {
            ::CloseHandle(nul);
            failure.outputFile = true;
            return fail(error, "cannot create the directory of the output file " + quoted(request.outputFile) + ": " +
                                   errorText(static_cast<int>(error)));
        }
        // Appending only: every write lands at the end, whoever else
        // writes the file, and the supervisor can rename or remove it while
        // the server holds it.
        output = ::CreateFileW(wideText(request.outputFile).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) {
            error = ::GetLastError();
            ::CloseHandle(nul);
            failure.outputFile = true;
            return fail(error, "cannot open the output file " + quoted(request.outputFile) + ": " +
                                   errorText(static_cast<int>(error)));
        }
    }
    // With a writer, the server's output goes into a pipe the writer
    // drains into the file; without one (none installed, or it could not
    // start) the server appends to the file itself.
    HANDLE writer = nullptr;
    DWORD writerPid = 0;
    if (output != nul && !request.outputWriter.empty()) {
        SECURITY_ATTRIBUTES ends{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE pipeRead = nullptr, pipeWrite = nullptr;
        if (::CreatePipe(&pipeRead, &pipeWrite, &ends, kOutputPipeBytes)) {
            writer = startOutputWriter(request, nul, pipeRead, writerPid);
            ::CloseHandle(pipeRead);
            if (writer) {
                ::CloseHandle(output);
                output = pipeWrite;
            } else {
                ::CloseHandle(pipeWrite);
            }
        }
    }
    PROCESS_INFORMATION created{};
    DWORD error = 0;
    bool listFailed = false;
    const std::wstring wideDirectory = wideText(directory);
    const bool ok = createWithStreams(request.commandLine,
                                      CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT, true,
                                      environment.data(), directory.empty() ? nullptr : wideDirectory.c_str(), nul,
                                      output, created, error, listFailed);
    ::CloseHandle(nul);
    if (output != nul) ::CloseHandle(output);
    if (!ok && listFailed) {
        if (writer) ::CloseHandle(writer);
        return fail(error, "cannot start a process: " + errorText(static_cast<int>(error)));
    }
    if (!ok) {
        // The writer ends by itself: nothing holds its pipe any more.
        if (writer) ::CloseHandle(writer);
        return fail(error, "cannot execute " + quoted(programToken(request.commandLine)) + ": " +
                               errorText(static_cast<int>(error)));
    }
    ::CloseHandle(created.hThread);
    auto handle = Win32ProcessHandle::child(static_cast<int>(created.dwProcessId), created.hProcess);
    if (writer) handle->setOutputWriter(static_cast<int>(writerPid), writer);
    return handle;
}

std::string Win32ProcessControl::programFile(const std::string& commandLine) {
    // As the system reads a command line without a separate program name:
    // a quoted first word is the program; otherwise the text up to each
    // blank in turn is tried, shortest first, ".exe" added when missing.
    std::vector<std::string> tries;
    const std::string line = trimWhite(commandLine);
    if (!line.empty() && line[0] == '"') {
        const auto close = line.find('"', 1);
        tries.push_back(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    } else {
        for (std::size_t at = line.find_first_of(" \t"); at != std::string::npos; at = line.find_first_of(" \t", at + 1))
            tries.push_back(line.substr(0, at));
        tries.push_back(line);
    }
    for (const std::string& name : tries) {
        if (name.empty()) continue;
        wchar_t found[MAX_PATH];
        const DWORD n = ::SearchPathW(nullptr, wideText(name).c_str(), L".exe", MAX_PATH, found, nullptr);
        if (n > 0 && n < MAX_PATH) {
            const DWORD attributes = ::GetFileAttributesW(found);
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return utf8FromWide(found);
        }
    }
    return {};
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
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD host = 0;
    for (BOOL more = ::Process32FirstW(snap, &entry); more; more = ::Process32NextW(snap, &entry)) {
        if (entry.th32ParentProcessID == static_cast<DWORD>(serverPid) &&
            equalsNoCase(utf8FromWide(entry.szExeFile), "conhost.exe")) {
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

// A process whose parent has ended is nobody's child here: nothing is
// left to collect.
bool becomeChildSubreaper() { return false; }

// Nothing is collected here (see above).
bool watchChildEnds() { return false; }

}  // namespace platform
