#pragma once
#include "platform/SingleInstance.h"

namespace platform {

// A Unix socket bound in the abstract namespace: machine-wide, visible to
// every user, and released by the kernel when the process ends.
class LinuxSingleInstance : public SingleInstance {
public:
    ~LinuxSingleInstance() override;
    bool acquire(const std::string& name) override;

private:
    int fd_ = -1;
};

}  // namespace platform
