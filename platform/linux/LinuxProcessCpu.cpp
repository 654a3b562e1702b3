#include "platform/ProcessCpu.h"

#include <unistd.h>

#include <string>

#include "platform/linux/LinuxProcStat.h"

namespace platform {

std::optional<double> cpuSeconds(int pid) {
    if (pid <= 0) return std::nullopt;
    // utime and stime.
    unsigned long long times[2] = {0, 0};
    if (!readProcStatFields(std::to_string(pid), 14, 2, times)) return std::nullopt;
    static const long ticks = ::sysconf(_SC_CLK_TCK);
    return static_cast<double>(times[0] + times[1]) / static_cast<double>(ticks > 0 ? ticks : 100);
}

}  // namespace platform
