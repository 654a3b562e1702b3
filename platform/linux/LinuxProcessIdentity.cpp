#include "platform/ProcessIdentity.h"

#include <fstream>

#include "platform/Text.h"
#include "platform/linux/LinuxProcessTable.h"

namespace platform {

std::optional<std::uint64_t> processIdentity(int pid) {
    unsigned long long ticks = 0;
    if (pid <= 0 || !LinuxProcessTable::liveStartTicks(pid, ticks)) return std::nullopt;
    return static_cast<std::uint64_t>(ticks);
}

std::string bootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string line;
    if (!std::getline(in, line)) return {};
    return trimWhite(line);
}

}  // namespace platform
