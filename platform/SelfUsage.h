#pragma once
#include <cstdint>
#include <optional>

namespace platform {

// What the running program itself uses, for the usual process_* metrics.
// Each reading is empty where the system cannot give it. Reads the process
// table's files on Linux: meant for the metrics' thread, not the checking
// one.
struct SelfUsage {
    std::optional<double> cpuSeconds;  // user and system time together
    std::optional<std::uint64_t> residentBytes;
    std::optional<std::uint64_t> openFds;  // open file descriptors (Windows: handles)
    std::optional<std::uint64_t> maxFds;   // the descriptor limit; none on Windows
    std::optional<double> startTime;       // seconds since 1970
};

SelfUsage selfUsage();

}  // namespace platform
