#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One running process as the process table lists it.
struct ProcessEntry {
    int pid = 0;
    // The parent's process ID where the listing gives it (0 otherwise).
    int parentPid = 0;
    // File name of the executable image, without directory.
    std::string exeFile;
    // Full path of the executable image where the listing gives it at no
    // extra cost (empty otherwise: ask executablePaths).
    std::string exePath;
};

// The processes running at one moment, in the platform's order (ascending
// process ID on Linux). One snapshot serves every look-up of a check pass.
using ProcessSnapshot = std::vector<ProcessEntry>;

class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    // Lists the running processes whose executable can be read; zombies and
    // kernel threads are left out. False when the table cannot be read.
    virtual bool snapshot(ProcessSnapshot& out) = 0;

    // The paths the platform gives for the process's executable image, first
    // source first; a process is recognised when any one of them is the
    // configured path. False (and none) when none can be read: such a
    // process is never recognised.
    virtual bool executablePaths(int pid, std::vector<std::string>& paths) = 0;

    // The process's arguments as the matching rule compares them with the
    // configured ones (see platform/LaunchTarget.h). False when they cannot
    // be read.
    virtual bool argumentWords(int pid, std::vector<std::string>& words) = 0;

    // The command line the process holds, its words joined by blanks (for
    // diagnostics and tests).
    virtual bool commandLine(int pid, std::string& text) = 0;

    // Creation time in seconds since 1970-01-01 00:00:00 UTC, never earlier
    // than the second in which the process really started.
    virtual bool startTime(int pid, std::int64_t& seconds) = 0;
    // The process's children, where the platform lists them without a walk
    // of the whole table. False where it does not: the snapshot's parent IDs
    // tell them then.
    virtual bool childrenOf(int pid, std::vector<int>& children) {
        (void)pid;
        children.clear();
        return false;
    }
};

// The process table in use; the machine's own unless a test replaced it.
ProcessTable& processTable();
// Replaces the process table in use (nullptr restores the machine's own).
void setProcessTable(ProcessTable* table);

// The machine's own, from the platform folder CMake chooses.
ProcessTable& defaultProcessTable();

}  // namespace platform
