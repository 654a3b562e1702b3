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

    // CreateProcess as launch does (hidden, a console and console process
    // group of its own), with the environment block, the working directory
    // (by default the directory of the program the system will find), and
    // the standard streams: the null device, or the output file opened for
    // appending, handed over through the only handles the server inherits.
    // A user or group is refused: servers run as the supervisor's user.
    std::unique_ptr<ProcessHandle> start(const LaunchRequest& request, LaunchFailure& failure) override;

    // The program file a command line names, found as the system will find
    // it (quoted or up to a blank, ".exe" added, the search path); empty
    // when there is none.
    static std::string programFile(const std::string& commandLine);

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
