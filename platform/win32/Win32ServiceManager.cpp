#include "platform/ServiceManager.h"
#include "platform/win32/Win32SystemService.h"

namespace platform {
namespace {

// Run as a Windows service, the supervisor reports its states to the
// service control manager: running once start-up has ended, stop pending
// while it ends. Otherwise nobody is told anything. No watchdog: the
// manager watches only the states.
class Win32ServiceManager : public ServiceManager {
public:
    void ready() override { win32service::reportRunning(); }
    void status(const std::string&) override {}
    void stopping() override { win32service::reportStopping(); }
    std::chrono::milliseconds watchdogInterval() override { return std::chrono::milliseconds(0); }
    void watchdog() override {}
};

}  // namespace

ServiceManager& serviceManager() {
    static Win32ServiceManager manager;
    return manager;
}

}  // namespace platform
