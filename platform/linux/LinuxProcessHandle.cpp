#include "platform/linux/LinuxProcessHandle.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/LinuxProcessTable.h"

namespace platform {
namespace {

// Called directly: glibc's declarations of these lack C linkage in some versions.
int openPidfd(int pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int sendThroughPidfd(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// A zombie still has its stat; it has ended all the same.
bool endedByStat(int pid, unsigned long long startTicks) {
    unsigned long long ticks = 0;
    if (!LinuxProcessTable::startTicks(pid, ticks) || ticks != startTicks) return true;
    std::string ignored;
    return !LinuxProcessTable::executable(pid, ignored);
}

SignalResult fromErrno(int error) {
    if (error == ESRCH) return SignalResult::Gone;
    if (error == EPERM) return SignalResult::NotPermitted;
    return SignalResult::Failed;
}

}  // namespace

std::unique_ptr<LinuxProcessHandle> LinuxProcessHandle::open(int pid) {
    if (pid <= 0) return nullptr;
    unsigned long long ticks = 0;
    const int pidfd = openPidfd(pid);
    if (pidfd < 0 && errno != ENOSYS) return nullptr;
    // Read after the pidfd exists: should the ID have been taken over just
    // before, both speak of the new process.
    if (!LinuxProcessTable::startTicks(pid, ticks)) {
        if (pidfd >= 0) ::close(pidfd);
        return nullptr;
    }
    const bool leads = ::getpgid(pid) == pid;
    // A process that has become this one's child (a daemon whose starter
    // has gone, taken in as child subreaper) tells how it ends, as a child
    // launched here does.
    std::shared_ptr<LinuxChild> adopted;
    int parent = 0;
    if (LinuxChildRegistry::Instance().subreaper() && LinuxProcessTable::parentOf(pid, parent) && parent == ::getpid())
        adopted = LinuxChildRegistry::Instance().adopt(pid);
    const bool isAdopted = adopted != nullptr;
    std::unique_ptr<LinuxProcessHandle> handle(new LinuxProcessHandle(pid, pidfd, ticks, leads, std::move(adopted)));
    handle->adopted_ = isAdopted;
    return handle;
}

std::unique_ptr<LinuxProcessHandle> LinuxProcessHandle::child(int pid, int pidfd, std::shared_ptr<LinuxChild> record) {
    // The start time serves only where there is no pidfd; a child that
    // has already ended (a zombie still has its stat) is held all the same.
    unsigned long long ticks = 0;
    LinuxProcessTable::startTicks(pid, ticks);
    return std::unique_ptr<LinuxProcessHandle>(new LinuxProcessHandle(pid, pidfd, ticks, true, std::move(record)));
}

LinuxProcessHandle::~LinuxProcessHandle() {
    // A child that has ended is collected now rather than left a zombie
    // until the next reap; one still running stays registered for it.
    if (child_) LinuxChildRegistry::Instance().collect(*child_, pidfd_);
    if (pidfd_ >= 0) ::close(pidfd_);
    if (drainFd_ >= 0) ::close(drainFd_);
}

void LinuxProcessHandle::setOutputWriter(int pid, int drainFd) {
    outputWriter_ = pid;
    if (drainFd_ >= 0) ::close(drainFd_);
    drainFd_ = drainFd;
}

bool LinuxProcessHandle::outputDrained() {
    if (drained_ || drainFd_ < 0) return true;
    // The pipe's write end closed (POLLHUP) once the writer is done.
    pollfd watch{drainFd_, POLLIN, 0};
    int n;
    do {
        n = ::poll(&watch, 1, 0);
    } while (n < 0 && errno == EINTR);
    const auto now = std::chrono::steady_clock::now();
    if (!endSeenAt_) endSeenAt_ = now;
    if (n > 0 || now - *endSeenAt_ >= kOutputDrainGrace) drained_ = true;
    return drained_;
}

std::optional<ExitStatus> LinuxProcessHandle::exitStatus() {
    if (!child_) return std::nullopt;
    return LinuxChildRegistry::Instance().collect(*child_, pidfd_);
}

bool LinuxProcessHandle::leadsGroup() const {
    if (leadsGroup_ || (child_ && !adopted_)) return leadsGroup_;
    // Still the same process (its start time), so the ID is not another's.
    unsigned long long ticks = 0;
    if (::getpgid(pid_) == pid_ && LinuxProcessTable::startTicks(pid_, ticks) && ticks == startTicks_)
        leadsGroup_ = true;
    return leadsGroup_;
}

int LinuxProcessHandle::groupSize() {
    if (!leadsGroup_) return 0;
    // Most groups are gone with their leader: the kernel says so at once,
    // where counting the members reads every process of the machine (a
    // burst of a thousand exits would read a million).
    if (::kill(-pid_, 0) != 0 && errno == ESRCH) return 0;
    return LinuxProcessTable::groupMembers(pid_);
}

bool LinuxProcessHandle::exited() {
    if (pidfd_ < 0) {
        // Without a pidfd a child is asked directly: its zombie would still
        // look alive by its stat.
        if (child_) return exitStatus().has_value() || endedByStat(pid_, startTicks_);
        return endedByStat(pid_, startTicks_);
    }
    pollfd watch{pidfd_, POLLIN, 0};
    int n;
    do {
        n = ::poll(&watch, 1, 0);
    } while (n < 0 && errno == EINTR);
    // Its end is told once its last words are in its file: the note of its
    // end and the lines an alert quotes come after them.
    return n > 0 && outputDrained();
}

namespace {

int signalNumber(StopSignal kind) {
    switch (kind) {
        case StopSignal::Graceful: return SIGTERM;
        case StopSignal::Kill: return SIGKILL;
        case StopSignal::Interrupt: return SIGINT;
        case StopSignal::Quit: return SIGQUIT;
        case StopSignal::Hangup: return SIGHUP;
        case StopSignal::User1: return SIGUSR1;
        case StopSignal::User2: return SIGUSR2;
    }
    return SIGTERM;
}

}  // namespace

SignalResult LinuxProcessHandle::raise(StopSignal kind, bool group, int& error) {
    return send(signalNumber(kind), group, error);
}

SignalResult LinuxProcessHandle::signal(StopSignal kind, bool group, int& error) {
    if (kind == StopSignal::Kill) return send(SIGKILL, group, error);
    const SignalResult result = send(signalNumber(kind), group, error);
    // A stopped process keeps the SIGTERM pending until it runs again.
    if (result == SignalResult::Sent) {
        int ignored = 0;
        send(SIGCONT, group, ignored);
    }
    return result;
}

SignalResult LinuxProcessHandle::send(int sig, bool group, int& error) {
    error = 0;
    if (group && leadsGroup_) {
        // The group outlives its leader while any member runs, and its ID
        // cannot be taken by another group until the last member is gone.
        if (::kill(-pid_, sig) == 0) return SignalResult::Sent;
        error = errno;
        return fromErrno(error);
    }
    if (pidfd_ >= 0) {
        if (sendThroughPidfd(pidfd_, sig) == 0) return SignalResult::Sent;
        error = errno;
        return fromErrno(error);
    }
    if (endedByStat(pid_, startTicks_)) {
        error = ESRCH;
        return SignalResult::Gone;
    }
    if (::kill(pid_, sig) == 0) return SignalResult::Sent;
    error = errno;
    return fromErrno(error);
}

bool LinuxProcessHandle::groupRunning() {
    if (!leadsGroup_) return false;
    // An ended child stays in its group until it is collected: collect it
    // first, so its own remains do not count as a running member.
    if (child_) exitStatus();
    // Signal 0 only asks whether the group has a member; EPERM means one runs
    // that this process may not signal.
    return ::kill(-pid_, 0) == 0 || errno == EPERM;
}

}  // namespace platform
