#include "app/core/Startup.h"

#include "config/ExeDirectory.h"
#include "log/AppLogger.h"
#include "platform/SingleInstance.h"
#include "platform/System.h"

const char* const kSingleInstanceName = "Global\\ProcwardMutex";

bool RunStartupSteps() {
    if (!platform::singleInstance().acquire(kSingleInstanceName)) return false;
    platform::setWorkingDirectory(GetExeDirectory());
    const std::string logDirectory = GetExeDirectory() + "//logs";
    if (!platform::directoryExists(logDirectory) && !platform::fileExists(logDirectory))
        platform::createDirectory(logDirectory);
    AppLogger::Instance().Init();
    AppLogger::Instance().get().info("Procward started!");
    return true;
}
