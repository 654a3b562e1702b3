#pragma once
#include <chrono>
#include <memory>
#include <optional>

#include "platform/ProcessControl.h"
#include "platform/linux/LinuxChildRegistry.h"

namespace platform {

// A process held by a pidfd: a signal sent through it can only reach that
// process, and it becomes readable when the process has ended. Where the
// kernel has no pidfds the process is told from a later one with the same
// ID by its start time, and nothing can wait on it. A child the launcher
// started is held by the parent's right as well: its ID cannot pass to
// another process before it is collected, and it tells how it ended.
class LinuxProcessHandle : public ProcessHandle {
public:
    // Null when there is no such process.
    static std::unique_ptr<LinuxProcessHandle> open(int pid);
    // A child the launcher has just started (leading a group of its own);
    // takes over `pidfd` (-1 where the kernel has none).
    static std::unique_ptr<LinuxProcessHandle> child(int pid, int pidfd, std::shared_ptr<LinuxChild> record);
    ~LinuxProcessHandle() override;
    LinuxProcessHandle(const LinuxProcessHandle&) = delete;
    LinuxProcessHandle& operator=(const LinuxProcessHandle&) = delete;

    int pid() const override { return pid_; }
    bool exited() override;
    bool leadsGroup() const override;
    // Graceful is SIGTERM followed by SIGCONT, so that a stopped process
    // (SIGSTOP, a debugger's halt) wakes up to end too.
    SignalResult signal(StopSignal kind, bool group, int& error) override;
    SignalResult raise(StopSignal kind, bool group, int& error) override;
    bool groupRunning() override;
    std::intptr_t waitable() const override { return pidfd_; }
    bool launchedHere() const override { return child_ != nullptr; }
    std::optional<ExitStatus> exitStatus() override;
    int groupSize() override;
    int outputWriter() const override { return outputWriter_; }
    std::intptr_t outputWaitable() const override { return drained_ ? -1 : drainFd_; }
    // The writer of its output, and the read end of a pipe the writer
    // closes once the output has all reached the file (taken over; -1 none).
    void setOutputWriter(int pid, int drainFd);

    // How long an ended process's output may take to reach its file before
    // its end is told all the same: the writer drains a pipe in far less,
    // unless a child of the program keeps the pipe open.
    static constexpr std::chrono::milliseconds kOutputDrainGrace{300};

private:
    LinuxProcessHandle(int pid, int pidfd, unsigned long long startTicks, bool leadsGroup,
                       std::shared_ptr<LinuxChild> child)
        : pid_(pid), pidfd_(pidfd), startTicks_(startTicks), leadsGroup_(leadsGroup), child_(std::move(child)) {}
    SignalResult send(int sig, bool group, int& error);

    int pid_;
    int pidfd_;                      // -1 without pidfds
    unsigned long long startTicks_;  // identity without pidfds
    // A process found running may make its group later (a daemon that
    // names itself in its pidfile first): asked again until it does.
    mutable bool leadsGroup_;
    std::shared_ptr<LinuxChild> child_;  // set for a child the launcher started
    // A child by adoption: a daemon that left its starter. It makes its own
    // group when it likes, so whether it leads one is asked again.
    bool adopted_ = false;
    int outputWriter_ = 0;
    int drainFd_ = -1;
    bool drained_ = false;
    std::optional<std::chrono::steady_clock::time_point> endSeenAt_;
    bool outputDrained();
};

}  // namespace platform
