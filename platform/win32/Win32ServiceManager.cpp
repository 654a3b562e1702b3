#include "platform/ServiceManager.h"

namespace platform {
namespace {

// No service manager is told anything here: a Windows service reports to
// the service control manager through its own entry point instead.
class Win32ServiceManager : public ServiceManager {
public:
    void ready() override {}
    void status(const std::string&) override {}
    void stopping() override {}
    std::chrono::milliseconds watchdogInterval() override { return std::chrono::milliseconds(0); }
    void watchdog() override {}
};

}  // namespace

ServiceManager& serviceManager() {
    static Win32ServiceManager manager;
    return manager;
}

}  // namespace platform
