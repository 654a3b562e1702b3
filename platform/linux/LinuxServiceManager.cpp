#include "platform/linux/LinuxServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace platform {

LinuxServiceManager::LinuxServiceManager() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket) return;
    std::string error;
    library_ = loadModule("libsystemd.so.0", error);
    if (library_) {
        notify_ = reinterpret_cast<decltype(&sd_notify)>(library_->symbol("sd_notify"));
        watchdogEnabled_ = reinterpret_cast<decltype(&sd_watchdog_enabled)>(library_->symbol("sd_watchdog_enabled"));
    }
    // The log is not open yet; systemd keeps what goes to stderr.
    if (!notify_ || !watchdogEnabled_)
        std::fprintf(stderr, "NOTIFY_SOCKET is set but libsystemd cannot be used (%s): systemd is told nothing\n",
                     library_ ? "sd_notify is missing" : error.c_str());
}

void LinuxServiceManager::notify(const std::string& message) {
    if (notify_) notify_(0, message.c_str());
}

void LinuxServiceManager::ready() { notify("READY=1"); }

void LinuxServiceManager::status(const std::string& text) { notify("STATUS=" + text); }

void LinuxServiceManager::stopping() { notify("STOPPING=1"); }

std::chrono::milliseconds LinuxServiceManager::watchdogInterval() {
    std::uint64_t usec = 0;
    // Also checks WATCHDOG_PID: a watchdog meant for a parent does not count.
    if (!watchdogEnabled_ || watchdogEnabled_(0, &usec) <= 0 || usec == 0) return std::chrono::milliseconds(0);
    const auto half = std::chrono::milliseconds(usec / 2000);
    return half.count() > 0 ? half : std::chrono::milliseconds(1);
}

void LinuxServiceManager::watchdog() { notify("WATCHDOG=1"); }

ServiceManager& serviceManager() {
    static LinuxServiceManager manager;
    return manager;
}

}  // namespace platform
