#pragma once
#include <string>

#include "platform/ProcessControl.h"

namespace platform {

// Starts programs with CreateProcess, hidden, each in a console and a
// console process group of its own, and holds them by process handles.
class Win32ProcessControl : public ProcessControl {
public:
    // The command line goes to the system as it stands; the system finds
    // the program by its own rules (a path up to the first blank unless
    // quoted, ".exe" added, the search path). The program's window, and the
    // console a console program gets, are hidden. On failure error is the
    // system's error code (ERROR_FILE_NOT_FOUND, ERROR_BAD_EXE_FORMAT, ...).
    bool launch(const std::string& commandLine, int& pid, int& error) override;

    std::unique_ptr<ProcessHandle> open(int pid) override;

    // TerminateProcess with exit code 0, then waits a short while for the
    // process to end. CannotOpen when there is no such process or no right
    // to end it.
    TerminateResult terminate(int pid) override;

    // Ends the first conhost.exe whose parent is the server: the console
    // host the system made for the server's hidden console. Failures are
    // ignored.
    void closeConsoleHost(int serverPid) override;
};

}  // namespace platform
