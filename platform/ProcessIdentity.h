#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// What tells a process from any other that had or will have the same ID:
// together with the ID and bootId() it names one process for ever, so a
// process recorded by an earlier run of the supervisor can be recognised
// whatever its command line has become.
//
// Linux: the start time as the kernel counts it (clock ticks after boot,
// field 22 of /proc/PID/stat). Windows: the creation time (a FILETIME, in
// 100 ns units since 1601). Empty when there is no such process, when it
// has ended (though not yet collected) or when it cannot be read.
std::optional<std::uint64_t> processIdentity(int pid);

// The identity of the running boot of the machine (Linux: the kernel's
// boot ID); empty where the start times above are unique across boots
// already (Windows) or it cannot be read.
std::string bootId();

}  // namespace platform
