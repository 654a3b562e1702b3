#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config/Settings.h"

// procward.ini in the configuration directory (beside the executable unless
// another was given).
std::string SettingsFilePath();

// Reads the settings file at `path`. Missing values take their defaults;
// what is wrong with a value that is used all the same is added to
// `warnings`, for the caller to log or print: a check interval below one
// second, a value out of its range (a check interval or back-off maximum
// above one day, a stop time-out above one hour, any number beyond 32 bits),
// which is used as the nearest value in range, and the texts of
// SettingsFileWarnings. A file that exists but cannot be read gives the
// defaults, with a warning.
Settings LoadSettings(const std::string& path, std::vector<std::string>& warnings);

// LoadSettings for a file that must be read as it is (a reload): false, with
// the reason in `error` and `settings` untouched, when the file exists but
// cannot be read. A missing file gives the defaults.
bool ReadSettings(const std::string& path, Settings& settings, std::vector<std::string>& warnings,
                  std::string& error);

// [GENERAL] LOG_KEEP_DAYS of the settings file, default 30.
std::int32_t ReadLogKeepDays();

// [GENERAL] LOG_MAX_MB of the settings file, default 100; 0: no limit.
std::int32_t ReadLogMaxMb();

// What is wrong with the settings file at `path` without stopping it from
// being used: an unknown SMTP_SECURITY (auto is used instead), an SMTP
// password in a file that other users may read. Empty when all is well.
std::vector<std::string> SettingsFileWarnings(const std::string& path);

// Writes the eleven settings the operator changes in the settings dialog
// (CHECK_SVR_STATUS_INTERVAL, STOP_TIMEOUT, RESTART_BACKOFF_MAX and the
// eight keys of [ALERT_MAIL]) and the webhook channels: a channel the file
// already holds as given is left alone, a changed one gets the keys that
// changed, a new one its section, and a channel that is no longer given
// loses its section (sections that are not channels, for want of a URL or
// a known KIND, stay). Every other line of the file stays. The file is
// replaced as a whole: when that fails the old file is left as it was and
// the result is false, with `error` saying which file and why. With a
// password or a webhook (whose URL and SECRET are credentials) the file is
// left readable and writable by its owner only, also when it existed with
// wider access.
bool SaveSettings(const std::string& path, const Settings& settings, std::string& error);
