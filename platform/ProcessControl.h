#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class TerminateResult {
    Terminated,  // the process was ended
    CannotOpen,  // no such process, or no right to end it
    Failed,      // it could be reached but not ended
};

enum class StopSignal {
    Graceful,  // asks the program to end (SIGTERM; Ctrl-Break or WM_CLOSE on Windows)
    Kill,      // ends it at once (SIGKILL; TerminateProcess)
};

enum class SignalResult {
    Sent,
    Gone,          // the process has already ended
    NotPermitted,  // another user's process, or a protected one
    Failed,
};

// One process held by its identity, not by its ID: once opened it never
// stands for another process that later takes the same ID.
class ProcessHandle {
public:
    virtual ~ProcessHandle() = default;
    virtual int pid() const = 0;
    // True once the process has ended (looks, never waits).
    virtual bool exited() = 0;
    // True when the process leads its own process group (every program the
    // launcher starts does); a stop then reaches the whole group.
    virtual bool leadsGroup() const = 0;
    // Sends a stop to the process, or to its group when `group` is set and
    // it leads one. `error` holds the system's error number on failure.
    virtual SignalResult signal(StopSignal kind, bool group, int& error) = 0;
    // True while any process of the group it leads still runs (a stop is
    // complete once the whole group has gone). False when it leads none.
    virtual bool groupRunning() = 0;
    // What an exit watcher waits on (a pidfd, a process handle); -1 when the
    // platform cannot wait on this process, so only the timer notices its end.
    virtual std::intptr_t waitable() const = 0;
};

class ProcessControl {
public:
    virtual ~ProcessControl() = default;

    // Starts a command line hidden and detached from the supervisor, so the
    // program outlives it. Returns true once the new program runs (the exec
    // has happened), with its process ID in pid; false (and an error
    // number) when it could not be started at all. Never waits for the
    // program to settle.
    virtual bool launch(const std::string& commandLine, int& pid, int& error) = 0;

    // Holds the process with this ID; null when there is none (or it can't
    // be opened at all).
    virtual std::unique_ptr<ProcessHandle> open(int pid) = 0;

    // Ends a process at once and waits a short while for it to go (tests
    // and tools; the supervisor stops through ProcessHandle).
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
