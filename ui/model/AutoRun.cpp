#include "ui/model/AutoRun.h"

#include <string>

#include "config/AppDirectories.h"
#include "log/AppLogger.h"
#include "platform/Autostart.h"
#include "platform/System.h"

const char* const kAutoRunEntryName = platform::autostartWording().entryName;
const char* const kAutoRunFailedMessage = platform::autostartWording().writeFailedMessage;

std::vector<std::string> AutoRunArguments() {
    // The directories were made absolute at start-up, so the entry finds
    // them whatever directory the session starts it in.
    std::vector<std::string> arguments;
    if (AppDirectories::configDirectoryGiven()) {
        arguments.emplace_back("--config-dir");
        arguments.push_back(AppDirectories::configDirectory());
    }
    if (AppDirectories::logDirectoryGiven()) {
        arguments.emplace_back("--log-dir");
        arguments.push_back(AppDirectories::logDirectory());
    }
    return arguments;
}

AutoRunResult RegisterAutoRun() {
    const std::string executable = platform::executablePath();
    // Without the program's path there is nothing sound to register.
    if (executable.empty()) return AutoRunResult::ShowMessage;
    std::string where;
    int error = 0;
    switch (platform::autostart().registerEntry(kAutoRunEntryName, executable, AutoRunArguments(), where, error)) {
        case platform::AutostartResult::Written:
            return AutoRunResult::Registered;
        case platform::AutostartResult::WrittenInstead:
            AppLogger::Instance().get().warn(
                "Start at logon written to {} (this user only): the machine-wide entry cannot be written: {} (error "
                "code: {:d})",
                where, platform::errorText(error), error);
            return AutoRunResult::Registered;
        case platform::AutostartResult::CannotOpen:
            AppLogger::Instance().get().info("Writing {} error: {}, error code: {:d}", platform::autostartWording().placeName,
                                             where, error);
            return AutoRunResult::ErrorLogged;
        case platform::AutostartResult::WriteFailed:
            break;
    }
    return AutoRunResult::ShowMessage;
}
