#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One running process as the process table lists it.
struct ProcessEntry {
    int pid = 0;
    int parentPid = 0;
    // File name of the executable image, without directory.
    std::string exeFile;
    // The short name the process runs under (the file name it was started by,
    // possibly cut short by the system); used to spot processes started
    // through a link whose name differs from the image's.
    std::string shortName;
};

// The processes running at one moment, in the platform's order (ascending
// process ID here). One snapshot can serve several look-ups.
using ProcessSnapshot = std::vector<ProcessEntry>;

class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    // Lists the running processes; zombies and kernel threads are left out.
    // False when the table cannot be read at all.
    virtual bool snapshot(ProcessSnapshot& out) = 0;

    // Full path of the process's executable image (first source).
    virtual bool modulePath(int pid, std::string& path) = 0;

    // Full path the process was started by, when it was started by an
    // absolute path (second source).
    virtual bool imagePath(int pid, std::string& path) = 0;

    // The command line the process holds, its arguments joined by blanks.
    virtual bool commandLine(int pid, std::string& text) = 0;

    // Creation time in whole seconds since 1970-01-01 00:00:00 UTC.
    virtual bool startTime(int pid, std::int64_t& seconds) = 0;
};

// The process table in use; the machine's own unless a test replaced it.
ProcessTable& processTable();
// Replaces the process table in use (nullptr restores the machine's own).
void setProcessTable(ProcessTable* table);

// The machine's own, from the platform folder CMake chooses.
ProcessTable& defaultProcessTable();

}  // namespace platform
