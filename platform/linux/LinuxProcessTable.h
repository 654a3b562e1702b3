#pragma once
#include <string>
#include <vector>

#include "platform/ProcessTable.h"

namespace platform {

// The process table read from /proc.
class LinuxProcessTable : public ProcessTable {
public:
    bool snapshot(ProcessSnapshot& out) override;
    bool executablePaths(int pid, std::vector<std::string>& paths) override;
    bool argumentWords(int pid, std::vector<std::string>& words) override;
    bool commandLine(int pid, std::string& text) override;
    bool startTime(int pid, std::int64_t& seconds) override;
    // From /proc/PID/task/TID/children of each of its threads.
    bool childrenOf(int pid, std::vector<int>& children) override;

    // The raw argument list of a process as it holds it (argv[0] first).
    static bool arguments(int pid, std::vector<std::string>& args);

    // The executable of a process: /proc/PID/exe, or that of a live thread
    // when the main thread has ended while others run on. False when it
    // cannot be read (kernel threads, zombies, other users' processes).
    static bool executable(int pid, std::string& path);

    // The second in which the process started (see startTime), and the
    // raw start in clock ticks after boot, which identifies the process
    // together with its ID.
    static bool startTicks(int pid, unsigned long long& ticks);
    // The process's parent, from its stat.
    static bool parentOf(int pid, int& parent);
    // The same for a process that has not ended: false for a zombie.
    static bool liveStartTicks(int pid, unsigned long long& ticks);
    static std::int64_t secondsFromTicks(unsigned long long ticks);

    // How many live processes (zombies left out) belong to the process
    // group `groupId`. Walks the whole process table.
    static int groupMembers(int groupId);
};

}  // namespace platform
