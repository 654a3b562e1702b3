#pragma once
#include "platform/ProcessControl.h"

namespace platform {

// A process held by a pidfd: a signal sent through it can only reach that
// process, and it becomes readable when the process has ended. Where the
// kernel has no pidfds the process is told from a later one with the same
// ID by its start time, and nothing can wait on it.
class LinuxProcessHandle : public ProcessHandle {
public:
    // Null when there is no such process.
    static std::unique_ptr<LinuxProcessHandle> open(int pid);
    ~LinuxProcessHandle() override;
    LinuxProcessHandle(const LinuxProcessHandle&) = delete;
    LinuxProcessHandle& operator=(const LinuxProcessHandle&) = delete;

    int pid() const override { return pid_; }
    bool exited() override;
    bool leadsGroup() const override { return leadsGroup_; }
    SignalResult signal(StopSignal kind, bool group, int& error) override;
    bool groupRunning() override;
    std::intptr_t waitable() const override { return pidfd_; }

private:
    LinuxProcessHandle(int pid, int pidfd, unsigned long long startTicks, bool leadsGroup)
        : pid_(pid), pidfd_(pidfd), startTicks_(startTicks), leadsGroup_(leadsGroup) {}

    int pid_;
    int pidfd_;                       // -1 without pidfds
    unsigned long long startTicks_;   // identity without pidfds
    bool leadsGroup_;
};

}  // namespace platform
