#pragma once
#include <windows.h>

#include <string>

#include "platform/ProcessControl.h"

namespace platform {

// A process held by a handle: while it is open the system does not give
// the process's ID to another process, and the handle is signalled when
// the process has ended.
//
// Process groups: the programs the launcher starts lead a console process
// group of their own (CREATE_NEW_PROCESS_GROUP), which is what a Ctrl-Break
// reaches, but the system cannot tell whether any process of such a group
// still runs. So leadsGroup() is false, a stop reaches the process alone and
// groupRunning() is false.
class Win32ProcessHandle : public ProcessHandle {
public:
    // Null when there is no such process or it cannot be opened at all. A
    // process that may be watched but not ended (another user's) is held
    // all the same; signal then reports NotPermitted.
    static std::unique_ptr<Win32ProcessHandle> open(int pid);
    // A process the launcher has just created; takes over its handle.
    static std::unique_ptr<Win32ProcessHandle> child(int pid, HANDLE handle);
    ~Win32ProcessHandle() override;
    Win32ProcessHandle(const Win32ProcessHandle&) = delete;
    Win32ProcessHandle& operator=(const Win32ProcessHandle&) = delete;

    int pid() const override { return pid_; }
    bool exited() override;
    bool leadsGroup() const override { return false; }
    // Kill: TerminateProcess with exit code 0. Graceful: WM_CLOSE to the
    // process's top-level windows when it has any, else a Ctrl-Break to its
    // console process group (sendCtrlBreak); where neither can reach it,
    // the process is terminated instead, so that a stop always ends it.
    SignalResult signal(StopSignal kind, bool group, int& error) override;
    // Only the stop (TERM: WM_CLOSE or Ctrl-Break) and the kill exist here:
    // a reload signal must not end a server for want of its meaning.
    SignalResult raise(StopSignal kind, bool group, int& error) override;
    bool groupRunning() override { return false; }
    std::intptr_t waitable() const override { return reinterpret_cast<std::intptr_t>(handle_); }
    bool launchedHere() const override { return launchedHere_; }
    // The exit code from the handle, once the process has ended.
    std::optional<ExitStatus> exitStatus() override;
    int outputWriter() const override { return outputWriter_; }
    std::intptr_t outputWaitable() const override {
        return drained_ || !writer_ ? -1 : reinterpret_cast<std::intptr_t>(writer_);
    }
    // The writer of its output and its process handle (taken over).
    void setOutputWriter(int pid, HANDLE writer);

    // How long an ended process's output may take to reach its file before
    // its end is told all the same: the writer drains a pipe in far less,
    // unless a child of the program keeps the pipe open.
    static constexpr DWORD kOutputDrainGraceMs = 300;

    // WM_CLOSE posted to each visible or hidden top-level window of the
    // process; false when it has none.
    static bool closeWindows(DWORD pid);
    // A Ctrl-Break to the console process group `groupId` (the process ID of
    // its leader), whether or not this program has a console: sent by the
    // stop helper (procwardd beside this program's executable, started
    // without a console, see platform/StopHelper.h), else, with no console
    // of this program's own, by joining the group's console for a moment.
    // False when it cannot be sent.
    static bool sendCtrlBreak(DWORD groupId);
    // The helper alone: true once it has been started (it is not waited
    // for; whether the server took the event shows in its ending).
    static bool sendCtrlBreakThroughHelper(DWORD groupId);
    // procwardd(.exe) in the directory of the running executable.
    static std::string stopHelperPath();

private:
    Win32ProcessHandle(int pid, HANDLE handle, bool mayTerminate, bool launchedHere)
        : pid_(pid), handle_(handle), mayTerminate_(mayTerminate), launchedHere_(launchedHere) {}
    SignalResult kill(int& error);

    bool ended() const;  // the process itself, its output aside
    bool outputDrained();

    int pid_;
    HANDLE handle_;
    bool mayTerminate_;
    bool launchedHere_;
    int outputWriter_ = 0;
    HANDLE writer_ = nullptr;
    bool drained_ = false;
    ULONGLONG endSeenAt_ = 0;
};

}  // namespace platform
