#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "platform/OutputWriter.h"
#include "platform/System.h"
#include "platform/win32/Win32WideText.h"

namespace platform {

std::string executablePath() {
    // Paths may be longer than MAX_PATH where long paths are enabled.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return utf8FromWide(buffer);
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

char pathSeparator() { return '\\'; }

std::string outputWriterProgram() {
    const std::string self = executablePath();
    const std::size_t slash = self.find_last_of("\\/");
    if (slash == std::string::npos) return {};
    // Installed beside the program.
    const std::string candidate = self.substr(0, slash + 1) + "procward-output.exe";
    const DWORD attributes = ::GetFileAttributesW(wideText(candidate).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? candidate : std::string();
}

const std::string& executableSuffix() {
    static const std::string suffix = ".exe";
    return suffix;
}

const std::string& scriptSuffix() {
    static const std::string suffix = ".bat";
    return suffix;
}

bool hostName(std::string& name) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer / sizeof buffer[0];
    if (!::GetComputerNameExW(ComputerNameDnsHostname, buffer, &size)) return false;
    name = utf8FromWide(std::wstring_view(buffer, size));
    return true;
}

bool localTime(std::int64_t seconds, std::tm& out) {
    // The C runtime's time_t is 64 bits in a MinGW-w64 build.
    const std::time_t t = static_cast<std::time_t>(seconds);
    return ::localtime_s(&out, &t) == 0;
}

bool directoryExists(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(wideText(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool fileExists(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(wideText(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

long long fileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(wideText(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return static_cast<long long>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool createDirectory(const std::string& path) { return ::CreateDirectoryW(wideText(path).c_str(), nullptr) != 0; }

bool setWorkingDirectory(const std::string& path) { return ::SetCurrentDirectoryW(wideText(path).c_str()) != 0; }

std::string errorText(int error) {
    // The system's text is in the user's language, so it is fetched wide.
    wchar_t* text = nullptr;
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result = n && text ? utf8FromWide(std::wstring_view(text, n)) : std::string();
    if (text) ::LocalFree(text);
    while (!result.empty() &&
           (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' || result.back() == '.'))
        result.pop_back();
    if (result.empty()) result = "error " + std::to_string(error);
    return result;
}

bool writableDirectory(const std::string& path, std::string& reason) {
    const DWORD attributes = ::GetFileAttributesW(wideText(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        reason = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? std::string("does not exist")
                                                                                : errorText(static_cast<int>(error));
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "is not a directory";
        return false;
    }
    // A file is made and removed again: the read-only attribute of a folder
    // says nothing on Windows, only its access list does.
    const std::string probe = path + "\\.procward-write-check-" + std::to_string(::GetCurrentProcessId());
    const HANDLE file = ::CreateFileW(wideText(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = "is not writable: " + errorText(static_cast<int>(::GetLastError()));
        return false;
    }
    ::CloseHandle(file);
    return true;
}

// The C runtime's heap is the process heap here: one heap for every
// thread, so there is nothing to limit.
bool runsAsInit() { return false; }

void limitMemoryForService() {}

void useParentConsole() {
    auto missing = [](DWORD which) {
        const HANDLE handle = ::GetStdHandle(which);
        return handle == nullptr || handle == INVALID_HANDLE_VALUE;
    };
    const bool out = missing(STD_OUTPUT_HANDLE), err = missing(STD_ERROR_HANDLE);
    if (!out && !err) return;                             // both go to a file, a pipe or a console already
    if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;  // started from no console
    if (out && std::freopen("CONOUT$", "w", stdout)) std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (err) std::freopen("CONOUT$", "w", stderr);
}

void useUtf8Console() {
    static UINT previous = 0;
    DWORD mode = 0;
    if (!::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
        !::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode))
        return;  // a file or a pipe takes the bytes as they are
    previous = ::GetConsoleOutputCP();
    if (previous == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8)) return;
    // The console may be the operator's shell's: it gets its code page back.
    std::atexit([] { ::SetConsoleOutputCP(previous); });
}

std::vector<std::string> programArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!words) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(utf8FromWide(words[i]));
    ::LocalFree(words);
    return arguments;
}

}  // namespace platform
