#include <windows.h>

#include "platform/ProcessIdentity.h"

namespace platform {

std::optional<std::uint64_t> processIdentity(int pid) {
    if (pid <= 0) return std::nullopt;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) return std::nullopt;
    FILETIME created{}, exited{}, kernel{}, user{};
    // An ended process stays openable while anyone holds a handle to it;
    // it is no longer the process that was recorded as running.
    const bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    const bool read = alive && ::GetProcessTimes(process, &created, &exited, &kernel, &user);
    ::CloseHandle(process);
    if (!read) return std::nullopt;
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// A creation time in 100 ns units is not repeated by a later boot.
std::string bootId() { return {}; }

}  // namespace platform
