#pragma once
#include "platform/ServiceManager.h"

namespace platform {

// systemd's notification socket, through libsystemd's sd_notify. Without
// NOTIFY_SOCKET in the environment sd_notify sends nothing.
class LinuxServiceManager : public ServiceManager {
public:
    void ready() override;
    void status(const std::string& text) override;
    void stopping() override;
    std::chrono::milliseconds watchdogInterval() override;
    void watchdog() override;
};

}  // namespace platform
