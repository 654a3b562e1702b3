#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <string>

#include "platform/ProcessOwner.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

// The string form of the user SID of a token; empty on failure.
std::string tokenAccount(HANDLE token) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::string buffer(size, '\0');
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) return {};
    std::string text = utf8FromWide(sid);
    ::LocalFree(sid);
    return text;
}

std::string accountOfProcess(HANDLE process) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
    std::string text = tokenAccount(token);
    ::CloseHandle(token);
    return text;
}

}  // namespace

std::string processAccount(int pid) {
    if (pid <= 0) return {};
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return {};
    std::string text = accountOfProcess(process);
    ::CloseHandle(process);
    return text;
}

std::string accountOf(const std::string& user) {
    if (user.empty()) return accountOfProcess(::GetCurrentProcess());
    // An account by name: its SID, as the system's account look-up gives it.
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use{};
    const std::wstring name = wideText(user);
    ::LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) return {};
    std::string sid(sidSize, '\0');
    std::wstring domain(domainSize + 1, L'\0');
    if (!::LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use)) return {};
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid.data(), &text)) return {};
    std::string result = utf8FromWide(text);
    ::LocalFree(text);
    return result;
}

int parentProcessId(int pid) {
    if (pid <= 0) return 0;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int parent = 0;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == static_cast<DWORD>(pid)) {
            parent = static_cast<int>(entry.th32ParentProcessID);
            break;
        }
    ::CloseHandle(snapshot);
    return parent;
}

int currentProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

}  // namespace platform
