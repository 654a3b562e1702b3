#include "platform/SystemService.h"

namespace platform {
namespace {

const char* const kNone =
    "this system has no service manager of that kind; run procwardd from a systemd unit instead";

}  // namespace

ServiceCall installService(const ServiceDefinition&, const std::string&, std::string& error) {
    error = kNone;
    return ServiceCall::Failed;
}

ServiceCall uninstallService(const std::string&, const std::string&, std::string& error) {
    error = kNone;
    return ServiceCall::Failed;
}

ServiceCall startService(const std::string&, int, std::string& error) {
    error = kNone;
    return ServiceCall::Failed;
}

ServiceCall stopService(const std::string&, int, std::string& error) {
    error = kNone;
    return ServiceCall::Failed;
}

bool runAsService(const std::string&, const std::function<int()>&, int&, std::string& error) {
    error = kNone;
    return false;
}

bool runningAsService() { return false; }

// The journal keeps what the supervisor writes on its standard error.
void reportSystemLogError(const std::string&, const std::string&) {}

std::string serviceDataDirectory() { return {}; }

bool createServiceDirectory(const std::string&, std::string& error) {
    error = kNone;
    return false;
}

}  // namespace platform
