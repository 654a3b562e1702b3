#include "platform/linux/LinuxServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace platform {

void LinuxServiceManager::ready() { sd_notify(0, "READY=1"); }

void LinuxServiceManager::status(const std::string& text) { sd_notifyf(0, "STATUS=%s", text.c_str()); }

void LinuxServiceManager::stopping() { sd_notify(0, "STOPPING=1"); }

std::chrono::milliseconds LinuxServiceManager::watchdogInterval() {
    std::uint64_t usec = 0;
    // Also checks WATCHDOG_PID: a watchdog meant for a parent does not count.
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::chrono::milliseconds(0);
    const auto half = std::chrono::milliseconds(usec / 2000);
    return half.count() > 0 ? half : std::chrono::milliseconds(1);
}

void LinuxServiceManager::watchdog() { sd_notify(0, "WATCHDOG=1"); }

ServiceManager& serviceManager() {
    static LinuxServiceManager manager;
    return manager;
}

}  // namespace platform
