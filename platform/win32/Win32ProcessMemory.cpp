#include "platform/ProcessMemory.h"

#include <windows.h>
#include <psapi.h>

namespace platform {

std::optional<std::uint64_t> residentBytes(int pid) {
    if (pid <= 0) return std::nullopt;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return std::nullopt;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    const BOOL ok = ::K32GetProcessMemoryInfo(process, &counters, sizeof counters);
    ::CloseHandle(process);
    if (!ok) return std::nullopt;
    return static_cast<std::uint64_t>(counters.WorkingSetSize);
}

// A console process group is no set of processes one can walk: the
// process that leads it stands for it.
std::optional<std::uint64_t> groupResidentBytes(int group) { return residentBytes(group); }

}  // namespace platform
