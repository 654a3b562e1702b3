#pragma once
#include <string>

namespace platform {

enum class TerminateResult {
    Terminated,  // the process was ended
    CannotOpen,  // no such process, or no right to end it
    Failed,      // it could be reached but not ended
};

class ProcessControl {
public:
    virtual ~ProcessControl() = default;

    // Starts a command line hidden and detached from the supervisor, so the
    // program outlives it. Returns true once the new program runs, with its
    // process ID in pid; false (and an error number) when it could not be
    // started at all.
    virtual bool launch(const std::string& commandLine, int& pid, int& error) = 0;

    // Ends a process at once, with exit code 0 where the platform has one.
    virtual TerminateResult terminate(int pid) = 0;

    // Ends the console host the platform attaches to a launched console
    // program; nothing to do where there is none.
    virtual void closeConsoleHost(int serverPid) = 0;
};

ProcessControl& processControl();
void setProcessControl(ProcessControl* control);

// The machine's own, from the platform folder CMake chooses.
ProcessControl& defaultProcessControl();

}  // namespace platform
