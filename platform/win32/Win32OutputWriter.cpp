#include "platform/OutputWriter.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/OutputFileCalls.h"
#include "platform/OutputStream.h"
#include "platform/win32/Win32WideText.h"

// One of these runs per launched server, started with it: the server's
// standard output and error are the write end of an anonymous pipe whose
// read end is this program's standard input; FILE is the server's file. A
// complaint about the file goes into the file.
namespace platform {
namespace {

constexpr DWORD kChunk = 64 * 1024;

HANDLE handleOf(OutputStream::File file) { return reinterpret_cast<HANDLE>(file); }

bool wholeNumber(const wchar_t* text, long long& value) {
    if (!text || !*text) return false;
    wchar_t* end = nullptr;
    errno = 0;
    value = std::wcstoll(text, &end, 10);
    return errno == 0 && *end == L'\0' && value >= 0;
}

}  // namespace

int runOutputWriter(int /*argc*/, char** /*argv*/) {
    // The path in UTF-16 as given: the narrow arguments hold only what the
    // system's code page can spell.
    int count = 0;
    wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    long long maxBytes = 0, backups = 0;
    if (!words || count != 4 || !*words[1] || !wholeNumber(words[2], maxBytes) || !wholeNumber(words[3], backups) ||
        backups > 99) {
        std::fprintf(stderr, "usage: procward-output FILE MAX_BYTES BACKUPS (standard input: the output)\n");
        return 2;
    }
    const std::string path = utf8FromWide(words[1]);
    ::LocalFree(words);
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    if (in == INVALID_HANDLE_VALUE || !in) return 2;
    // The file is opened here, by its path, rather than taken as standard
    // output: the C runtime may keep copies of the standard handles, and
    // such a copy would keep the first file open once it is a backup,
    // where an open backup cannot be replaced by the next.
    int error = 0;
    const OutputStream::File out = outputfile::openAppend(path, error);
    if (out == outputfile::kNoFile) {
        std::fprintf(stderr, "procward-output: cannot open %s: %s\n", path.c_str(), outputfile::errorText(error).c_str());
        return 1;
    }
    // Lives as long as the server writes: a Ctrl-C or Ctrl-Break meant for
    // a console does not end it, only the pipe's end does.
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    OutputStream stream(out, path, maxBytes, static_cast<int>(backups));
    static char buffer[kChunk];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(in, buffer, kChunk, &n, nullptr)) {
            const DWORD error = ::GetLastError();
            // Every writer of the pipe has closed it.
            if (error == ERROR_BROKEN_PIPE) return 0;
            stream.complain("cannot read the server's output", static_cast<int>(error));
            return 1;
        }
        if (n > 0) stream.take(buffer, n);
    }
}

namespace outputfile {

long long size(File file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(handleOf(file), &size) ? static_cast<long long>(size.QuadPart) : 0;
}

long long write(File file, const char* bytes, std::size_t count, int& error) {
    DWORD written = 0;
    const DWORD part = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    if (::WriteFile(handleOf(file), bytes, part, &written, nullptr)) return written;
    error = static_cast<int>(::GetLastError());
    return -1;
}

bool truncate(File /*file*/, const std::string& path, int& error) {
    // The file is open for appending only, which cannot shorten it.
    HANDLE whole = ::CreateFileW(wideText(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, TRUNCATE_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (whole == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    ::CloseHandle(whole);
    return true;
}

File openAppend(const std::string& path, int& error) {
    // Shared for deleting too: the file is renamed while open.
    HANDLE file = ::CreateFileW(wideText(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(::GetLastError());
        return kNoFile;
    }
    return reinterpret_cast<File>(file);
}

void close(File file) { ::CloseHandle(handleOf(file)); }

bool rename(const std::string& from, const std::string& to, int& error, bool& missing) {
    missing = false;
    if (::MoveFileExW(wideText(from).c_str(), wideText(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error = static_cast<int>(::GetLastError());
    missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return false;
}

bool samePath(File file, const std::string& path) {
    HANDLE atPath = ::CreateFileW(wideText(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (atPath == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION named{}, open{};
    const bool same = ::GetFileInformationByHandle(atPath, &named) && ::GetFileInformationByHandle(handleOf(file), &open) &&
                      named.dwVolumeSerialNumber == open.dwVolumeSerialNumber &&
                      named.nFileIndexHigh == open.nFileIndexHigh && named.nFileIndexLow == open.nFileIndexLow;
    ::CloseHandle(atPath);
    return same;
}

bool noSpace(int error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

std::string errorText(int error) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = n > 0 && text ? std::wstring(text, n) : L"error " + std::to_wstring(error);
    if (text) ::LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L'.')) wide.pop_back();
    return utf8FromWide(wide);
}

long long monotonicNs() { return static_cast<long long>(::GetTickCount64()) * 1000000LL; }

std::string localStamp() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return stamp;
}

}  // namespace outputfile

}  // namespace platform
