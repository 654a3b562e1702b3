#include "platform/SelfUsage.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/ProcessMemory.h"
#include "platform/linux/LinuxProcStat.h"

namespace platform {

namespace {

// Seconds since 1970 at which the kernel booted (btime of /proc/stat).
std::optional<double> bootTime() {
    FILE* file = std::fopen("/proc/stat", "re");
    if (!file) return std::nullopt;
    char line[256];
    std::optional<double> result;
    while (std::fgets(line, sizeof line, file)) {
        unsigned long long seconds = 0;
        if (std::sscanf(line, "btime %llu", &seconds) == 1) {
            result = static_cast<double>(seconds);
            break;
        }
    }
    std::fclose(file);
    return result;
}

// Field 22 of /proc/self/stat: the start in clock ticks after the boot.
std::optional<double> startTime() {
    unsigned long long ticks = 0;
    if (!readProcStatFields("self", 22, 1, &ticks)) return std::nullopt;
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    const std::optional<double> boot = bootTime();
    if (!boot || perSecond <= 0) return std::nullopt;
    return *boot + static_cast<double>(ticks) / static_cast<double>(perSecond);
}

std::optional<std::uint64_t> openFds() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return std::nullopt;
    std::uint64_t count = 0;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count > 0 ? count - 1 : 0;  // less the descriptor of the listing itself
}

}  // namespace

SelfUsage selfUsage() {
    SelfUsage usage;
    rusage self{};
    if (::getrusage(RUSAGE_SELF, &self) == 0)
        usage.cpuSeconds = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                           static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
    usage.residentBytes = residentBytes(static_cast<int>(::getpid()));
    usage.openFds = openFds();
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        usage.maxFds = static_cast<std::uint64_t>(limit.rlim_cur);
    usage.startTime = startTime();
    return usage;
}

}  // namespace platform
