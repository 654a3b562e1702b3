#include "app/core/Startup.h"

#include <filesystem>
#include <system_error>

#include "app/core/CommandLine.h"
#include "config/AppDirectories.h"
#include "config/SettingsFile.h"
#include "log/AppLogger.h"
#include "platform/ProcessControl.h"
#include "platform/SingleInstance.h"
#include "platform/System.h"
#include "platform/FileStore.h"

const char* const kSingleInstanceName = "Global\\ProcwardMutex";

StartupResult RunStartupSteps(std::string& error) {
    if (!platform::singleInstance().acquire(kSingleInstanceName)) return StartupResult::AlreadyRunning;
    // Workers whose server has died, and the real process of a server that
    // daemonizes, become this program's children: they are collected here
    // rather than left as zombies, and a daemon's end can be waited for.
    // (Where the system has no such role, nothing changes.)
    platform::becomeChildSubreaper();
    // Before the first thread: a check that finds no child ended then
    // costs one system call, however many servers run.
    platform::watchChildEnds();
    const std::string configDirectory = AppDirectories::configDirectory();
    platform::setWorkingDirectory(configDirectory);
    const std::string logDirectory = AppDirectories::logDirectory();
    // A log directory of the operator's own is never made here: it was
    // checked before start-up.
    if (!AppDirectories::logDirectoryGiven() && !platform::directoryExists(logDirectory) &&
        !platform::fileExists(logDirectory))
        platform::createDirectory(logDirectory);
    AppLogger& logger = AppLogger::Instance();
    std::string reason;
    if (!logger.Init(logDirectory, reason)) {
        // A supervisor that cannot write its log would run blind.
        error = "the log cannot be opened in " + logDirectory + ": " + reason;
        return StartupResult::NoLog;
    }
    logger.get().info("Procward started!");
    const int keepDays = ReadLogKeepDays();
    if (const int removed = logger.keepDays(keepDays); removed > 0)
        logger.get().info("Removed {} log file(s) older than {} days (LOG_KEEP_DAYS)", removed, keepDays);
    logger.limitSize(ReadLogMaxMb());
    return StartupResult::Started;
}

bool ApplyDirectories(const CommandLine& line, const char* program, std::FILE* err) {
    std::string error;
    if (ApplyDirectories(line, error)) return true;
    std::fprintf(err, "%s: %s\n", program, error.c_str());
    return false;
}

bool ApplyDirectories(const CommandLine& line, std::string& error) {
    const std::pair<const char*, const std::string*> given[] = {{"--config-dir", &line.configDir},
                                                                {"--log-dir", &line.logDir}};
    std::string absolute[2];
    for (int i = 0; i < 2; ++i) {
        const std::string& directory = *given[i].second;
        if (directory.empty()) continue;
        std::string reason;
        if (!platform::writableDirectory(directory, reason)) {
            error = std::string(given[i].first) + " " + directory + ": the directory " + reason;
            return false;
        }
        // Start-up changes the working directory: a relative path would
        // then point somewhere else.
        std::error_code failure;
        const std::filesystem::path full = std::filesystem::absolute(platform::filePath(directory), failure);
        absolute[i] = failure ? directory : platform::pathText(full.lexically_normal());
    }
    if (!absolute[0].empty()) AppDirectories::setConfigDirectory(absolute[0]);
    if (!absolute[1].empty()) AppDirectories::setLogDirectory(absolute[1]);
    return true;
}
