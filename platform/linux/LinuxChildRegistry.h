#pragma once
#include <sys/types.h>
#include <sys/wait.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/ExitStatus.h"

namespace platform {

// What is known of one child the launcher started. Read and written only
// under the registry's lock.
struct LinuxChild {
    int pid = 0;
    std::optional<ExitStatus> status;
    // Collected by someone else (a stray wait of other code): its status is
    // lost, and it is not looked for again.
    bool lost = false;
};

// Every child the launcher has started in this process and not yet
// collected, shared by all launchers and handles: an ended child is
// collected exactly once, by its handle or by the reaper, and its status
// always lands in its record, whichever comes first. Collecting happens
// under one lock, so a status can never be taken by one side before the
// other has recorded the child.
class LinuxChildRegistry {
public:
    static LinuxChildRegistry& Instance();

    // Held by the launcher from before the fork until the new child is
    // registered, so that no reaper collects it unrecorded.
    std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(mutex_); }
    // Registers a new child; the caller holds the lock.
    std::shared_ptr<LinuxChild> addHeld(int pid);
    // The record of a child this process did not start but has become the
    // parent of (an orphan adopted as child subreaper, a daemon its starter
    // left behind), so that its status is kept when it ends; the record it
    // has when it is registered already.
    std::shared_ptr<LinuxChild> adopt(int pid);

    // The child's status once it has ended, collecting it if nobody has
    // yet; never waits. `pidfd` is the child's pidfd, or -1.
    std::optional<ExitStatus> collect(LinuxChild& child, int pidfd);

    // Collects every ended child (see ProcessControl::reapChildren).
    int reap();

    // Set once this process has become a child subreaper: every ended
    // child is then collected, not only those the launcher started.
    void setSubreaper() { subreaper_ = true; }
    // A signalfd of SIGCHLD (blocked in every thread): a reap that finds
    // nothing in it looks at no child, but for every kWalkEvery-th reap.
    void setEndsDescriptor(int fd);
    bool subreaper() const { return subreaper_; }

    static ExitStatus statusFrom(const siginfo_t& info);

private:
    void recordHeld(int pid, const siginfo_t& info);
    int reapAllHeld();
    int reapOursHeld();

    std::mutex mutex_;
    std::unordered_map<int, std::shared_ptr<LinuxChild>> running_;  // started, not yet collected
    std::atomic<bool> subreaper_{false};
    int endsFd_ = -1;
    unsigned quietReaps_ = 0;
    // Now and then every child is looked at all the same: should anything
    // have taken a SIGCHLD past the descriptor, nothing lingers for long.
    static constexpr unsigned kWalkEvery = 60;
};

}  // namespace platform
