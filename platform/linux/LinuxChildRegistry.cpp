#include "platform/linux/LinuxChildRegistry.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {
namespace {

// One look without waiting; 0 and an empty si_pid when nothing matching
// has ended.
int waitOnce(idtype_t type, id_t id, siginfo_t& info, int extraFlags) {
    int result;
    do {
        info = siginfo_t{};
        result = ::waitid(type, id, &info, WEXITED | WNOHANG | extraFlags);
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

LinuxChildRegistry& LinuxChildRegistry::Instance() {
    // Never destroyed: handles may be released while the program ends.
    static LinuxChildRegistry* registry = new LinuxChildRegistry;
    return *registry;
}

std::shared_ptr<LinuxChild> LinuxChildRegistry::addHeld(int pid) {
    auto child = std::make_shared<LinuxChild>();
    child->pid = pid;
    running_[pid] = child;
    return child;
}

std::shared_ptr<LinuxChild> LinuxChildRegistry::adopt(int pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = running_.find(pid);
    if (found != running_.end()) return found->second;
    return addHeld(pid);
}

ExitStatus LinuxChildRegistry::statusFrom(const siginfo_t& info) {
    ExitStatus status;
    if (info.si_code == CLD_EXITED) {
        status.how = ExitStatus::How::Code;
        status.value = info.si_status;
    } else {
        status.how = ExitStatus::How::Signal;
        status.value = info.si_status;
        status.coreDumped = info.si_code == CLD_DUMPED;
    }
    return status;
}

void LinuxChildRegistry::recordHeld(int pid, const siginfo_t& info) {
    const auto at = running_.find(pid);
    if (at == running_.end()) return;  // an adopted orphan, or another part's child
    at->second->status = statusFrom(info);
    running_.erase(at);
}

std::optional<ExitStatus> LinuxChildRegistry::collect(LinuxChild& child, int pidfd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (child.status || child.lost) return child.status;
    siginfo_t info;
    int result;
    if (pidfd >= 0) {
        result = waitOnce(P_PIDFD, static_cast<id_t>(pidfd), info, 0);
        // Kernels before 5.4 have pidfds but cannot wait on them. Until the
        // child is collected its ID cannot pass to another process, so
        // asking by ID is as safe.
        if (result < 0 && errno == EINVAL) result = waitOnce(P_PID, static_cast<id_t>(child.pid), info, 0);
    } else {
        result = waitOnce(P_PID, static_cast<id_t>(child.pid), info, 0);
    }
    if (result == 0) {
        if (info.si_pid == child.pid) recordHeld(child.pid, info);
        return child.status;
    }
    if (errno == ECHILD) {
        // Someone else has collected it: whatever it was is gone.
        child.lost = true;
        running_.erase(child.pid);
    }
    return child.status;
}

void LinuxChildRegistry::setEndsDescriptor(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    endsFd_ = fd;
}

int LinuxChildRegistry::reap() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endsFd_ >= 0) {
        // Ends that came together arrive as one: whatever is read, every
        // ended child is collected below.
        bool ended = false;
        signalfd_siginfo info;
        while (::read(endsFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ended = true;
        if (!ended && ++quietReaps_ < kWalkEvery) return 0;
        quietReaps_ = 0;
    }
    return subreaper_ ? reapAllHeld() : reapOursHeld();
}

int LinuxChildRegistry::reapAllHeld() {
    int collected = 0;
    for (;;) {
        siginfo_t info;
        if (waitOnce(P_ALL, 0, info, 0) != 0 || info.si_pid == 0) return collected;
        recordHeld(info.si_pid, info);
        ++collected;
    }
}

int LinuxChildRegistry::reapOursHeld() {
    if (running_.empty()) return 0;
    int collected = 0;
    // Look first which child has ended, without collecting it: one call
    // when none has, and the ended ones of ours come out one by one.
    for (;;) {
        siginfo_t info;
        if (waitOnce(P_ALL, 0, info, WNOWAIT) != 0 || info.si_pid == 0) return collected;
        if (!running_.count(info.si_pid)) break;  // another part's child: not ours to collect
        const int pid = info.si_pid;
        if (waitOnce(P_PID, static_cast<id_t>(pid), info, 0) != 0 || info.si_pid != pid) break;
        recordHeld(pid, info);
        ++collected;
    }
    // Another part's ended child comes first in every look: ask for each
    // of ours in turn instead.
    std::vector<int> pids;
    pids.reserve(running_.size());
    for (const auto& entry : running_) pids.push_back(entry.first);
    for (const int pid : pids) {
        siginfo_t info;
        if (waitOnce(P_PID, static_cast<id_t>(pid), info, 0) == 0) {
            if (info.si_pid == pid) {
                recordHeld(pid, info);
                ++collected;
            }
        } else if (errno == ECHILD) {
            running_.at(pid)->lost = true;
            running_.erase(pid);
        }
    }
    return collected;
}

}  // namespace platform
