#include "platform/ProcessCpu.h"

#include <windows.h>

namespace platform {

std::optional<double> cpuSeconds(int pid) {
    if (pid <= 0) return std::nullopt;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return std::nullopt;
    FILETIME created{}, ended{}, kernel{}, user{};
    const BOOL ok = ::GetProcessTimes(process, &created, &ended, &kernel, &user);
    ::CloseHandle(process);
    if (!ok) return std::nullopt;
    // In steps of 100 ns.
    const auto steps = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(steps(kernel) + steps(user)) / 1e7;
}

}  // namespace platform
