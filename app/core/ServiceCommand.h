#pragma once
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class CommandLine;

// procwardd as a service of the system's own service manager (Windows):
// `procwardd service install|uninstall|start|stop` and the run under the
// manager (`procwardd --service`, what the registration starts).
class ServiceCommand {
public:
    // The service's name, display name and event log source.
    static const char* const kName;
    static const char* const kDescription;

    // `service ACTION`: prints what was done on `out`, or the error on `err`
    // (1; also without administrator rights).
    static int run(const CommandLine& line, const char* program, std::FILE* out, std::FILE* err);

    // `--service`: hands this process to the service manager, which runs
    // `supervise` as the service; its result is the exit code. 1 with the
    // reason on standard error when the manager did not start this process.
    static int runAsService(const char* program, const std::function<int()>& supervise);

    // The directories of the run as a service: --config-dir and --log-dir
    // when given (as ApplyDirectories takes them), else the service's own
    // directory (%ProgramData%\Procward), made for administrators and the
    // system account only when missing. False with the reason.
    static bool useServiceDirectories(const CommandLine& line, std::string& error);

    // The arguments the registration starts the program with.
    static std::vector<std::string> serviceArguments(const std::string& configDir, const std::string& logDir);

    // An error that ends the service, to the system's event log under the
    // source "Procward" (it is in the supervisor's own log already).
    static void reportError(const std::string& text);
};
