#include "ui/model/AutoRun.h"

#include <string>

#include "log/AppLogger.h"
#include "platform/Autostart.h"
#include "platform/System.h"

const char* const kAutoRunEntryName = platform::autostartWording().entryName;
const char* const kAutoRunFailedMessage = platform::autostartWording().writeFailedMessage;

AutoRunResult RegisterAutoRun() {
    const std::string executable = platform::executablePath();
    // Without the program's path there is nothing sound to register.
    if (executable.empty()) return AutoRunResult::ShowMessage;
    std::string where;
    int error = 0;
    switch (platform::autostart().registerEntry(kAutoRunEntryName, executable, where, error)) {
        case platform::AutostartResult::Written:
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
