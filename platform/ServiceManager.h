#pragma once
#include <chrono>
#include <string>

namespace platform {

// The service manager that started the supervisor, when there is one
// (systemd with a unit of Type=notify here). Every call is a no-op when the
// supervisor was not started by one.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // Start-up has ended: every server has been checked once.
    virtual void ready() = 0;
    // A one-line state shown by the manager ("3 of 4 servers running").
    virtual void status(const std::string& text) = 0;
    // The supervisor is ending.
    virtual void stopping() = 0;
    // How often the loop must say that it still runs; zero when the manager
    // watches nothing. Half the period the manager waits before it gives up
    // on the service, so that a ping is never late.
    virtual std::chrono::milliseconds watchdogInterval() = 0;
    // The loop still runs.
    virtual void watchdog() = 0;
};

ServiceManager& serviceManager();

}  // namespace platform
