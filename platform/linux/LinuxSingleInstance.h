#pragma once
#include <string>

#include "platform/SingleInstance.h"

namespace platform {

// An exclusive flock on a file under /run/lock. A lock on a file holds for
// the whole machine, across users, containers that share the directory and
// network namespaces, and the kernel drops it when the holding process
// ends, however it ends. The file itself stays; only the lock counts.
class LinuxSingleInstance : public SingleInstance {
public:
    ~LinuxSingleInstance() override;
    bool acquire(const std::string& name) override;

    // The lock file of a guard name: the text after the last backslash
    // ("Global\ProcwardMutex" gives ProcwardMutex.lock), with anything but
    // letters, digits, '.', '-' and '_' made '_', in lockDirectory().
    static std::string lockFilePath(const std::string& name);
    // /run/lock (or /tmp where a system has no /run/lock). Tests of the
    // executables set PROCWARD_LOCK_DIR to a directory of their own, so
    // that they never meet a copy the developer or another test runs; it is
    // not meant for anything else.
    static std::string lockDirectory();

private:
    int fd_ = -1;
};

}  // namespace platform
