#pragma once
#include <optional>

namespace platform {

// The processor time a process has used so far, user and system together,
// in seconds (Linux: /proc/PID/stat; Windows: its process times). Empty
// when there is no such process or it cannot be read. One small read: the
// window asks it for the servers it shows.
std::optional<double> cpuSeconds(int pid);

}  // namespace platform
