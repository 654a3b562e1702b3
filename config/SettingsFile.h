#pragma once
#include <cstdint>
#include <string>

// procward.ini beside the executable.
std::string SettingsFilePath();

// Reads the settings file: returns the check interval (seconds) and fills
// AlertMailSettings. Missing values take their defaults.
std::int32_t LoadSettingsFile();

// Writes all seven settings.
void SaveSettingsFile(std::int32_t checkInterval, const std::string& server, const std::string& port,
                      const std::string& user, const std::string& password, const std::string& mailTo,
                      std::int32_t minAlertInterval);
