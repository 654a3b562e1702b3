#pragma once
#include <string>
#include <vector>

#include "platform/ProcessTable.h"

namespace platform {

// The process table from toolhelp snapshots. A process's paths come from a
// module snapshot (its first module is its executable) and then from
// QueryFullProcessImageName; its command line from its own memory (see
// Win32CommandLineReader).
class Win32ProcessTable : public ProcessTable {
public:
    // Every process of the snapshot except the idle process (ID 0), with
    // its parent's ID and its executable file name; no paths.
    bool snapshot(ProcessSnapshot& out) override;
    bool executablePaths(int pid, std::vector<std::string>& paths) override;
    // One word: the argument text of its command line (see
    // Win32CommandLine::processArguments), or none when that is empty.
    bool argumentWords(int pid, std::vector<std::string>& words) override;
    // The whole command line as the process holds it, in the ANSI code page.
    bool commandLine(int pid, std::string& text) override;
    bool startTime(int pid, std::int64_t& seconds) override;

    // The path of the first module of a module snapshot; false when it
    // cannot be taken (another user's process, a protected one).
    static bool firstModulePath(int pid, std::string& path);
    // QueryFullProcessImageName in its Win32 form.
    static bool imagePath(int pid, std::string& path);
};

}  // namespace platform
