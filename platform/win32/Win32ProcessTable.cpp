#include "platform/win32/Win32ProcessTable.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/win32/Win32CommandLine.h"
#include "platform/win32/Win32CommandLineReader.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr std::uint64_t kEpochDifference = 11644473600ULL;
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;

}  // namespace

bool Win32ProcessTable::snapshot(ProcessSnapshot& out) {
    out.clear();
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!::Process32FirstW(snap, &entry)) {
        ::CloseHandle(snap);
        return false;
    }
    do {
        if (entry.th32ProcessID != 0) {
            ProcessEntry process;
            process.pid = static_cast<int>(entry.th32ProcessID);
            process.parentPid = static_cast<int>(entry.th32ParentProcessID);
            process.exeFile = utf8FromWide(entry.szExeFile);
            out.push_back(std::move(process));
        }
        entry.dwSize = sizeof entry;
    } while (::Process32NextW(snap, &entry));
    ::CloseHandle(snap);
    return true;
}

bool Win32ProcessTable::firstModulePath(int pid, std::string& path) {
    HANDLE snap = INVALID_HANDLE_VALUE;
    // The system asks to try again while the process is still loading.
    for (int attempt = 0; attempt < 5 && snap == INVALID_HANDLE_VALUE; ++attempt) {
        snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, static_cast<DWORD>(pid));
        if (snap == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_BAD_LENGTH) return false;
    }
    if (snap == INVALID_HANDLE_VALUE) return false;
    MODULEENTRY32W module{};
    module.dwSize = sizeof module;
    const bool ok = ::Module32FirstW(snap, &module) != 0;
    ::CloseHandle(snap);
    if (!ok || module.szExePath[0] == L'\0') return false;
    path = utf8FromWide(module.szExePath);
    return true;
}

bool Win32ProcessTable::imagePath(int pid, std::string& path) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return false;
    std::wstring buffer(MAX_PATH, L'\0');
    bool ok = false;
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        if (::QueryFullProcessImageNameW(process, 0, buffer.data(), &size)) {
            buffer.resize(size);
            ok = size > 0;
            break;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= 32768) break;
        buffer.resize(buffer.size() * 2);
    }
    ::CloseHandle(process);
    if (ok) path = utf8FromWide(buffer);
    return ok;
}

bool Win32ProcessTable::executablePaths(int pid, std::vector<std::string>& paths) {
    paths.clear();
    std::string path;
    if (firstModulePath(pid, path)) paths.push_back(path);
    if (imagePath(pid, path) && (paths.empty() || paths.front() != path)) paths.push_back(path);
    return !paths.empty();
}

bool Win32ProcessTable::argumentWords(int pid, std::vector<std::string>& words) {
    words.clear();
    std::string text;
    if (!Win32CommandLineReader::readUtf8(static_cast<DWORD>(pid), text)) return false;
    std::string arguments = Win32CommandLine::processArguments(text);
    if (!arguments.empty()) words.push_back(std::move(arguments));
    return true;
}

bool Win32ProcessTable::commandLine(int pid, std::string& text) {
    return Win32CommandLineReader::readUtf8(static_cast<DWORD>(pid), text);
}

bool Win32ProcessTable::startTime(int pid, std::int64_t& seconds) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return false;
    FILETIME created{}, exited{}, kernel{}, user{};
    const bool ok = ::GetProcessTimes(process, &created, &exited, &kernel, &user) != 0;
    ::CloseHandle(process);
    if (!ok) return false;
    const std::uint64_t ticks = (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    // The second in which it started: the fraction is dropped.
    const std::uint64_t since1601 = ticks / kTicksPerSecond;
    if (since1601 < kEpochDifference) return false;
    seconds = static_cast<std::int64_t>(since1601 - kEpochDifference);
    return true;
}

ProcessTable& defaultProcessTable() {
    static Win32ProcessTable table;
    return table;
}

}  // namespace platform
