#include "app/core/SupervisionSettings.h"

#include "config/AppDirectories.h"
#include "platform/OutputWriter.h"
#include "platform/System.h"

std::string ServerOutputDirectory() {
    // A log directory that was given is never created: without it the
    // servers' output is not kept either.
    const std::string logs = AppDirectories::logDirectory();
    if (AppDirectories::logDirectoryGiven() && !platform::directoryExists(logs)) return {};
    return logs + platform::pathSeparator() + "servers";
}

SupervisionOptions SupervisionOptionsFrom(const GeneralSettingsData& general) {
    SupervisionOptions options;
    const auto seconds = [](std::int32_t value) {
        return std::chrono::milliseconds(static_cast<std::int64_t>(value > 0 ? value : 0) * 1000);
    };
    options.checkInterval = seconds(general.checkInterval);
    options.restartOnExit = general.restartOnExit;
    options.stopTimeout = seconds(general.stopTimeout);
    options.restartBackoffMax = seconds(general.restartBackoffMax);
    options.startConfirm = seconds(general.startConfirm);
    options.rememberStopped = general.rememberStopped;
    options.outputDirectory = ServerOutputDirectory();
    options.outputWriter = platform::outputWriterProgram();
    options.outputMaxBytes =
        static_cast<std::int64_t>(general.serverLogMaxMb > 0 ? general.serverLogMaxMb : 0) * 1024 * 1024;
    options.outputBackups = general.serverLogBackups > 0 ? general.serverLogBackups : 0;
    // A burst of exits or a start of many servers is launched in slices, so
    // the window (and the control requests) wait at most about this long.
    options.launchSlice = std::chrono::milliseconds(40);
    return options;
}
