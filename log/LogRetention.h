#pragma once
#include <cstdint>
#include <ctime>
#include <string>

// Removes the daily log files that have grown too old: the files named
// <application>_YYYYMMDD.log whose date lies more than `keepDays` days
// before today. The date in the name is the day the file was opened, so no
// file time is needed; other files in the directory are left alone.
class LogRetention {
public:
    // `today` is a local date; keepDays of 0 or less keeps every file.
    // Returns how many files were removed. Never throws and never logs (it
    // runs inside the log sink while the sink opens a new file).
    static int removeOlderThan(const std::string& directory, const std::string& application, int keepDays,
                               const std::tm& today);
    // Removes the program's daily files, oldest date first, until all of
    // them together hold at most `maxBytes`; today's file (the one being
    // written) is never removed. `todayBytes` gets its size. Returns how many
    // files were removed. Never throws and never logs.
    static int trimToSize(const std::string& directory, const std::string& application, std::uint64_t maxBytes,
                          const std::tm& today, std::uint64_t& todayBytes);
    // Today's local date.
    static std::tm today();
};
