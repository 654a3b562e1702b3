#include "tests/support/TodaysLog.h"

#include <ctime>

#include "log/AppLogger.h"

std::string todaysLogFile() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[16];
    std::strftime(date, sizeof date, "%Y%m%d", &local);
    return "logs/" + AppLogger::applicationName() + "_" + date + ".log";
}
