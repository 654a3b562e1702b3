#pragma once
#include <cstdint>
#include <optional>

namespace platform {

// Resident memory of a process, in bytes (Linux: the resident set of
// /proc/PID/statm; Windows: the working set). Empty when there is no such
// process or it cannot be read.
std::optional<std::uint64_t> residentBytes(int pid);

// The resident memory of every live process of the process group `group`,
// added up: a server and the workers it forked. Where the system has no
// such groups (Windows) the process `group` alone. Walks the process table:
// meant for a thread other than the checking one.
std::optional<std::uint64_t> groupResidentBytes(int group);

}  // namespace platform
