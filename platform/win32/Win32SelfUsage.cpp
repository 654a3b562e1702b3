#include "platform/SelfUsage.h"

#include <windows.h>

#include "platform/ProcessMemory.h"

namespace platform {

namespace {

// A FILETIME as a count of 100 ns steps.
std::uint64_t steps(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

SelfUsage selfUsage() {
    SelfUsage usage;
    HANDLE self = ::GetCurrentProcess();
    FILETIME created{}, ended{}, kernel{}, user{};
    if (::GetProcessTimes(self, &created, &ended, &kernel, &user)) {
        usage.cpuSeconds = static_cast<double>(steps(kernel) + steps(user)) / 1e7;
        // FILETIME counts from 1601; 11644473600 s lie between that and 1970.
        usage.startTime = static_cast<double>(steps(created)) / 1e7 - 11644473600.0;
    }
    usage.residentBytes = residentBytes(static_cast<int>(::GetCurrentProcessId()));
    DWORD handles = 0;
    if (::GetProcessHandleCount(self, &handles)) usage.openFds = handles;
    return usage;
}

}  // namespace platform
