#include "app/core/ServiceCommand.h"

#include "app/core/CommandLine.h"
#include "app/core/Startup.h"
#include "config/AppDirectories.h"
#include "platform/System.h"
#include "platform/SystemService.h"
#include "platform/TextEncoding.h"

const char* const ServiceCommand::kName = "Procward";
const char* const ServiceCommand::kDescription =
    "Supervises the servers listed in serverinfo.json: starts them, restarts those that end, and sends alerts.";

namespace {

// How long `service start` and `service stop` wait for the service.
constexpr int kStartWaitMs = 60000;
constexpr int kStopWaitMs = 45000;

// The directory a service's files default to, made when missing.
bool defaultDirectory(std::string& directory, std::string& error) {
    directory = platform::serviceDataDirectory();
    if (directory.empty()) {
        error = "this system has no service manager of that kind; run procwardd from a systemd unit instead";
        return false;
    }
    return platform::createServiceDirectory(directory, error);
}

}  // namespace

std::vector<std::string> ServiceCommand::serviceArguments(const std::string& configDir, const std::string& logDir) {
    std::vector<std::string> arguments{"--service", "--config-dir", configDir};
    if (!logDir.empty()) {
        arguments.emplace_back("--log-dir");
        arguments.push_back(logDir);
    }
    return arguments;
}

bool ServiceCommand::useServiceDirectories(const CommandLine& line, std::string& error) {
    CommandLine directories = line;
    if (directories.configDir.empty() && !defaultDirectory(directories.configDir, error)) return false;
    return ApplyDirectories(directories, error);
}

int ServiceCommand::run(const CommandLine& line, const char* program, std::FILE* out, std::FILE* err) {
    const std::string& action = line.serviceAction;
    auto fail = [&](const std::string& error) {
        std::fprintf(err, "%s: service %s: %s\n", program, action.c_str(), error.c_str());
        return 1;
    };
    if (action != "install" && (!line.configDir.empty() || !line.logDir.empty()))
        return fail("--config-dir and --log-dir go with install only");
    std::string error;
    if (action == "install") {
        std::string configDir = line.configDir;
        if (configDir.empty() && !defaultDirectory(configDir, error)) return fail(error);
        CommandLine directories = line;
        directories.configDir = configDir;
        // Made absolute and checked here, where the operator sees the error,
        // rather than in a service that then does not start.
        if (!ApplyDirectories(directories, error)) return fail(error);
        const std::string executable = platform::executablePath();
        if (executable.empty()) return fail("the path of this program cannot be read");
        platform::ServiceDefinition definition;
        definition.name = kName;
        definition.displayName = kName;
        definition.description = kDescription;
        definition.program = executable;
        definition.arguments = serviceArguments(
            AppDirectories::configDirectory(), AppDirectories::logDirectoryGiven() ? AppDirectories::logDirectory() : "");
        if (platform::installService(definition, kName, error) != platform::ServiceCall::Done) return fail(error);
        std::fprintf(out, "Procward is installed as the service \"%s\" (automatic start); its files are in %s\n", kName,
                     AppDirectories::configDirectory().c_str());
        return 0;
    }
    if (action == "uninstall") {
        if (platform::uninstallService(kName, kName, error) != platform::ServiceCall::Done) return fail(error);
        std::fprintf(out, "The service \"%s\" is removed (its files and servers stay)\n", kName);
        return 0;
    }
    if (action == "start") {
        if (platform::startService(kName, kStartWaitMs, error) != platform::ServiceCall::Done) return fail(error);
        std::fprintf(out, "The service \"%s\" is running\n", kName);
        return 0;
    }
    if (platform::stopService(kName, kStopWaitMs, error) != platform::ServiceCall::Done) return fail(error);
    std::fprintf(out, "The service \"%s\" is stopped (its servers keep running)\n", kName);
    return 0;
}

int ServiceCommand::runAsService(const char* program, const std::function<int()>& supervise) {
    int code = 0;
    std::string error;
    if (!platform::runAsService(kName, supervise, code, error)) {
        std::fprintf(stderr, "%s: --service: %s\n", program, platform::terminalText(error).c_str());
        return 1;
    }
    return code;
}

void ServiceCommand::reportError(const std::string& text) { platform::reportSystemLogError(kName, text); }
