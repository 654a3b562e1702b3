#pragma once
#include <cstdint>
#include <memory>

#include "platform/Module.h"
#include "platform/ServiceManager.h"

namespace platform {

// systemd's notification socket, through libsystemd's sd_notify. The
// library (with the compression and crypto libraries it brings) is loaded
// only when the environment names a notification socket: a supervisor that
// systemd did not start pays nothing for it.
class LinuxServiceManager : public ServiceManager {
public:
    LinuxServiceManager();
    void ready() override;
    void status(const std::string& text) override;
    void stopping() override;
    std::chrono::milliseconds watchdogInterval() override;
    void watchdog() override;

private:
    void notify(const std::string& message);

    std::unique_ptr<Module> library_;
    int (*notify_)(int, const char*) = nullptr;
    int (*watchdogEnabled_)(int, std::uint64_t*) = nullptr;
};

}  // namespace platform
