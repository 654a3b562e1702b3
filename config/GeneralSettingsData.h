#pragma once
#include <cstdint>
#include <string>

// The [GENERAL] settings and [METRICS].
struct GeneralSettingsData {
    std::int32_t checkInterval = 3;       // seconds, as read (a value below 1 is used as 1)
    bool restartOnExit = true;            // RESTART_ON_EXIT
    std::int32_t stopTimeout = 10;        // STOP_TIMEOUT, seconds; 0 kills at once
    std::int32_t restartBackoffMax = 60;  // RESTART_BACKOFF_MAX, seconds; 0 is off
    std::int32_t startConfirm = 1;        // START_CONFIRM_SECONDS: a start counts once the process lived this long
    bool rememberStopped = false;         // REMEMBER_STOPPED: a server stopped stays down across a restart
    bool confirmDangerous = true;         // CONFIRM_DANGEROUS: the window asks before quitting or deleting
    std::int32_t logKeepDays = 30;        // LOG_KEEP_DAYS; 0 or less keeps every log
    std::int32_t logMaxMb = 100;          // LOG_MAX_MB; 0 or less: no size limit
    std::int32_t serverLogMaxMb = 10;     // SERVER_LOG_MAX_MB: a server's output file is rotated above this; 0 never
    std::int32_t serverLogBackups = 3;    // SERVER_LOG_BACKUPS: rotated files kept per server (0 to 99)
    std::int32_t listBackups = 20;        // LIST_BACKUPS: generations of serverinfo.json kept (0 to 1000)
    std::string metricsListen;            // [METRICS] LISTEN, host:port; empty is off

    bool operator==(const GeneralSettingsData&) const = default;
};
