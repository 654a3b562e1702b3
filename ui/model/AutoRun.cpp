#include "ui/model/AutoRun.h"

#include <string>

#include "log/AppLogger.h"
#include "platform/Autostart.h"
#include "platform/System.h"

const char* const kAutoRunEntryName = "procward";
const char* const kAutoRunFailedMessage = "Parameter error, setting auto-run entry failed.";

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
            AppLogger::Instance().get().info("Writing autostart entry error: {}, error code: {:d}", where, error);
            return AutoRunResult::ErrorLogged;
        case platform::AutostartResult::WriteFailed:
            break;
    }
    return AutoRunResult::ShowMessage;
}
