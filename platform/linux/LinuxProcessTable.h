#pragma once
#include "platform/ProcessTable.h"

namespace platform {

// The process table read from /proc.
class LinuxProcessTable : public ProcessTable {
public:
    bool snapshot(ProcessSnapshot& out) override;
    bool modulePath(int pid, std::string& path) override;
    bool imagePath(int pid, std::string& path) override;
    bool commandLine(int pid, std::string& text) override;
    bool startTime(int pid, std::int64_t& seconds) override;

    // The raw arguments of a process as it holds them.
    static bool arguments(int pid, std::vector<std::string>& args);
};

}  // namespace platform
