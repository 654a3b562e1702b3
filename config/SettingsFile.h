#pragma once
#include <cstdint>
#include <string>

// procward.ini in the configuration directory (beside the executable unless
// another was given).
std::string SettingsFilePath();

// Reads the settings file: returns the check interval (seconds) and fills
// AlertMailSettings. Missing values take their defaults.
std::int32_t LoadSettingsFile();
std::int32_t LoadSettingsFile(const std::string& path);

// [GENERAL] LOG_KEEP_DAYS of the settings file, default 30.
std::int32_t ReadLogKeepDays();

// Writes all seven settings. A failed write is silent and leaves the old
// file as it was.
void SaveSettingsFile(std::int32_t checkInterval, const std::string& server, const std::string& port,
                      const std::string& user, const std::string& password, const std::string& mailTo,
                      std::int32_t minAlertInterval);
void SaveSettingsFile(const std::string& path, std::int32_t checkInterval, const std::string& server,
                      const std::string& port, const std::string& user, const std::string& password,
                      const std::string& mailTo, std::int32_t minAlertInterval);
