#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <spdlog/logger.h>

// The process-wide holder of the one logger of the supervisor.
class AppLogger {
public:
    static AppLogger& Instance();

    // Sets up the daily log file under logs/ of the working directory, or
    // under `directory`. False when it could not be set up (the reason is
    // printed on standard output, and given in `reason`); the logger then
    // drops everything.
    bool Init();
    bool Init(const std::string& directory);
    bool Init(const std::string& directory, std::string& reason);

    // Daily log files older than this many days are removed: now, and each
    // time the log moves on to a new file. 0 or less (the state until this
    // is called) keeps them all. Returns how many were removed now.
    int keepDays(int days);

    // The program's daily files together are kept at most this many
    // megabytes (see BoundedLogSink): the oldest days go first, and today's
    // file stops growing at the limit. 0 or less (the state until this is
    // called) sets no limit. Errors repeated within a minute are folded
    // either way.
    void limitSize(int megabytes);

    // The logger to write to: the one Init set up, or a logger that drops
    // everything while there is none, so that a log call never fails.
    spdlog::logger& get();

    // Name of the application: the executable's file name without directory
    // and extension.
    static std::string applicationName();

    // The log line pattern and a formatter that writes it with the
    // supervisor's level names, CR LF line ends, and CR and LF inside a
    // message written as "\r" and "\n".
    static const char* const kPattern;
    static std::unique_ptr<spdlog::formatter> makeFormatter();

    std::shared_ptr<spdlog::logger> logger;  // empty until Init succeeds

private:
    void removeOldFiles(int days);

    std::atomic<int> keepDays_{0};
    std::uint64_t maxBytes_ = 0;
    std::shared_ptr<class BoundedLogSink> bounded_;
    std::string directory_ = "logs";
};

// Exported by name so that modules loaded into the process log into the
// same file.
extern "C" __attribute__((visibility("default"))) AppLogger* GetLogger();
