#include "app/core/ProgramModes.h"

#include <cstdio>
#include <exception>

#include "app/core/CtlCommand.h"
#include "app/core/HeadlessRunner.h"
#include "app/core/Startup.h"
#include "app/core/TestAlertCommand.h"
#include "app/core/TestMailCommand.h"
#include "log/AppLogger.h"
#include "platform/System.h"

int RunProgramMode(const CommandLine& line, const char* program, bool daemon) {
    switch (line.mode) {
        case CommandLine::Mode::Usage:
            std::fprintf(stderr, "%s: %s\n%s", program, line.error.c_str(),
                         CommandLine::usage(program, daemon).c_str());
            return 2;
        case CommandLine::Mode::Help:
            std::fputs(CommandLine::usage(program, daemon).c_str(), stdout);
            return 0;
        case CommandLine::Mode::Ctl:
            return RunCtlCommand(line.ctlArgs, stdout, stderr);
        case CommandLine::Mode::TestAlert:
            if (!ApplyDirectories(line, program, stderr)) return 1;
            return RunTestAlertCommand(stdout, line.alertChannel, line.verbose);
        case CommandLine::Mode::TestMail:
            if (!ApplyDirectories(line, program, stderr)) return 1;
            return RunTestMailCommand(stdout, line.verbose);
        case CommandLine::Mode::Headless: {
            if (!ApplyDirectories(line, program, stderr)) return 1;
            platform::limitMemoryForService();
            std::string error;
            switch (RunStartupSteps(error)) {
                case StartupResult::AlreadyRunning:
                    std::fputs("Procward is already running on this machine.\n", stderr);
                    return 0;
                case StartupResult::NoLog:
                    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
                    return 1;
                case StartupResult::Started:
                    break;
            }
            try {
                HeadlessRunner runner(stdout, program);
                return runner.run();
            } catch (const std::exception& error) {
                // The last line of the log says how it ended, this way too.
                AppLogger::Instance().get().critical("Procward exiting: error: {}", error.what());
                std::fprintf(stderr, "%s: error: %s\n", program, error.what());
                return 1;
            }
        }
        case CommandLine::Mode::Window:
            break;
    }
    return 2;  // the window is the caller's
}
