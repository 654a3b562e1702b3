#pragma once
#include <functional>
#include <string>
#include <vector>

namespace platform {

// The supervisor as a service of the system's own service manager, where
// the system has one that runs programs written for it (the Service Control
// Manager on Windows). Where it has none (here a unit file is written for
// systemd, which starts the ordinary program), every call below fails with
// a reason and runningAsService is false.

// What the service is registered as.
struct ServiceDefinition {
    std::string name;          // the key of the service ("Procward")
    std::string displayName;   // shown in the list of services
    std::string description;
    std::string program;       // full path of the executable
    std::vector<std::string> arguments;  // each quoted as the system needs
};

enum class ServiceCall {
    Done,
    NotPermitted,  // this account may not do it (not an administrator)
    Failed,        // `error` says why
};

// Registers the service (automatic start, `description`, restarted by the
// manager after it fails), or updates a registration of that name, and
// makes `eventSource` a source of the system's event log.
ServiceCall installService(const ServiceDefinition& service, const std::string& eventSource, std::string& error);
// Stops the service when it runs and removes its registration and event
// source.
ServiceCall uninstallService(const std::string& name, const std::string& eventSource, std::string& error);
// Starts it and waits (up to `waitMs`) until it runs, or until it has
// ended again, which is then the error.
ServiceCall startService(const std::string& name, int waitMs, std::string& error);
// Asks it to stop and waits (up to `waitMs`) until it has.
ServiceCall stopService(const std::string& name, int waitMs, std::string& error);

// Runs `body` as the service `name` when the service manager started this
// process as one: the calling thread serves the manager while `body` runs
// on a thread the manager starts, and `exitCode` is body's result, which
// the manager is told as the service's exit code. A stop or shutdown from
// the manager is a StopRequest ("service stop", "system shutdown"); the
// ServiceManager notifications (ready, stopping) report the service's
// states. False at once, body not run, when this process is not such a
// service (`error` says why).
bool runAsService(const std::string& name, const std::function<int()>& body, int& exitCode, std::string& error);

// True while runAsService runs `body`.
bool runningAsService();

// Writes an error to the system's event log under `source` (a service's
// errors that end it, which an operator looks for there); nothing where
// there is no such log.
void reportSystemLogError(const std::string& source, const std::string& text);

// The directory of a service's files (serverinfo.json, procward.ini, logs):
// %ProgramData%\Procward; empty where there is no such place.
std::string serviceDataDirectory();

// Creates `path` (and its parents) for the service's files: full access
// for administrators and the system account, nobody else. An existing
// directory is left as it is. False with the reason.
bool createServiceDirectory(const std::string& path, std::string& error);

}  // namespace platform
