#include "app/core/ProgramModes.h"

#include <cstdio>
#include <exception>

#include "app/core/CtlCommand.h"
#include "app/core/HeadlessRunner.h"
#include "app/core/ProgramVersion.h"
#include "app/core/ServiceCommand.h"
#include "app/core/Startup.h"
#include "app/core/TestAlertCommand.h"
#include "app/core/TestMailCommand.h"
#include "log/AppLogger.h"
#include "platform/System.h"
#include "platform/TextEncoding.h"

namespace {

// The supervisor without a window, from a console or as the system's
// service. As a service an error that ends it goes to the system's event
// log as well, where an operator of a service looks for it.
int RunHeadless(const CommandLine& line, const char* program, bool asService) {
    auto fatal = [asService, program](const std::string& text) {
        std::fprintf(stderr, "%s: %s\n", program, platform::terminalText(text).c_str());
        if (asService) ServiceCommand::reportError(text);
    };
    if (asService) {
        std::string error;
        if (!ServiceCommand::useServiceDirectories(line, error)) {
            fatal(error);
            return 1;
        }
    } else if (!ApplyDirectories(line, program, stderr)) {
        return 1;
    }
    platform::limitMemoryForService();
    std::string error;
    switch (RunStartupSteps(error)) {
        case StartupResult::AlreadyRunning:
            if (asService) {
                fatal("Procward is already running on this machine.");
                return 1;
            }
            std::fputs("Procward is already running on this machine.\n", stderr);
            return 0;
        case StartupResult::NoLog:
            fatal(error);
            return 1;
        case StartupResult::Started:
            break;
    }
    try {
        HeadlessRunner runner(stdout, program);
        const int code = runner.run();
        if (code != 0 && asService) ServiceCommand::reportError(runner.fatalError());
        return code;
    } catch (const std::exception& error) {
        // The last line of the log says how it ended, this way too.
        AppLogger::Instance().get().critical("Procward exiting: error: {}", error.what());
        fatal(std::string("error: ") + error.what());
        return 1;
    }
}

}  // namespace

int RunProgramMode(const CommandLine& line, const char* program, bool daemon) {
    platform::useUtf8Console();
    switch (line.mode) {
        case CommandLine::Mode::Usage:
            std::fprintf(stderr, "%s: %s\n%s", program, platform::terminalText(line.error).c_str(),
                         CommandLine::usage(program, daemon).c_str());
            return 2;
        case CommandLine::Mode::Help:
            std::fputs(CommandLine::usage(program, daemon).c_str(), stdout);
            return 0;
        case CommandLine::Mode::Version:
            std::printf("%s %s\n", program, ProgramVersion());
            return 0;
        case CommandLine::Mode::Ctl:
            return RunCtlCommand(line.ctlArgs, stdout, stderr);
        case CommandLine::Mode::TestAlert:
            if (!ApplyDirectories(line, program, stderr)) return 1;
            return RunTestAlertCommand(stdout, line.alertChannel, line.verbose);
        case CommandLine::Mode::TestMail:
            if (!ApplyDirectories(line, program, stderr)) return 1;
            return RunTestMailCommand(stdout, line.verbose);
        case CommandLine::Mode::Headless:
            return RunHeadless(line, program, false);
        case CommandLine::Mode::Service:
            return ServiceCommand::run(line, program, stdout, stderr);
        case CommandLine::Mode::RunService:
            return ServiceCommand::runAsService(program, [&line, program] { return RunHeadless(line, program, true); });
        case CommandLine::Mode::Window:
            break;
    }
    return 2;  // the window is the caller's
}
