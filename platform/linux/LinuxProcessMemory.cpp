#include "platform/ProcessMemory.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/LinuxProcStat.h"

namespace platform {

namespace {

std::uint64_t pageSize() {
    static const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

// The process group of `pid` (field 5 of /proc/PID/stat).
bool processGroupOf(const std::string& pid, int& group) {
    unsigned long long value = 0;
    if (!readProcStatFields(pid, 5, 1, &value)) return false;
    group = static_cast<int>(value);
    return true;
}

}  // namespace

std::optional<std::uint64_t> residentBytes(int pid) {
    if (pid <= 0) return std::nullopt;
    const std::string path = "/proc/" + std::to_string(pid) + "/statm";
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) return std::nullopt;
    unsigned long long size = 0, resident = 0;
    const int read = std::fscanf(file, "%llu %llu", &size, &resident);
    std::fclose(file);
    if (read != 2) return std::nullopt;
    return static_cast<std::uint64_t>(resident) * pageSize();
}

std::optional<std::uint64_t> groupResidentBytes(int group) {
    if (group <= 0) return std::nullopt;
    DIR* proc = ::opendir("/proc");
    if (!proc) return std::nullopt;
    std::uint64_t total = 0;
    bool any = false;
    while (const dirent* entry = ::readdir(proc)) {
        const char* name = entry->d_name;
        if (name[0] < '1' || name[0] > '9') continue;
        int member = 0;
        if (!processGroupOf(name, member) || member != group) continue;
        // A member that ended in between adds nothing.
        if (const auto bytes = residentBytes(std::atoi(name))) {
            total += *bytes;
            any = true;
        }
    }
    ::closedir(proc);
    if (!any) return std::nullopt;
    return total;
}

}  // namespace platform
