#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <spdlog/sinks/base_sink.h>

// Keeps the supervisor's own log in bounds, in front of the daily file
// sink. A crash loop with failing alert channels can otherwise write
// megabytes a minute, mostly the same error again and again:
//
// - An error (or worse) whose text was written kWrittenPerMinute times in
//   the minute since it first came is not written again; once that minute
//   is over, the next line written is preceded by "<text> ... repeated
//   2,914 times in the last minute", the count of the lines left out.
// - With a size limit, the program's daily files (<application>_YYYYMMDD.log)
//   are kept at most that large together: the oldest days are removed
//   first, and when today's file alone reaches the limit, further lines are
//   dropped (said once in the file) until the next day's file opens. The
//   files are measured every 64 KB of lines, so today's file may pass the
//   limit by that much.
class BoundedLogSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    BoundedLogSink(std::shared_ptr<spdlog::sinks::sink> inner, std::string directory, std::string application);

    // 0: no limit (the files are left to LOG_KEEP_DAYS alone).
    void setMaxBytes(std::uint64_t bytes);

    static constexpr std::chrono::minutes kFoldWindow{1};
    static constexpr std::uint64_t kWrittenPerMinute = 10;
    static constexpr std::uint64_t kMeasureEvery = 64 * 1024;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;
    void set_pattern_(const std::string& pattern) override;
    void set_formatter_(std::unique_ptr<spdlog::formatter> formatter) override;

private:
    struct Fold {
        spdlog::log_clock::time_point since;
        std::uint64_t written = 1;
        std::uint64_t repeats = 0;  // left out
        spdlog::level::level_enum level = spdlog::level::err;
    };

    // Writes the counts of the folds whose minute is over by `now`.
    void closeFolds(spdlog::log_clock::time_point now, const spdlog::details::log_msg& like);
    // Writes one line through the size limit.
    void write(const spdlog::details::log_msg& msg);
    void writeText(const spdlog::details::log_msg& like, spdlog::level::level_enum level, const std::string& text);
    static std::tm localDay(spdlog::log_clock::time_point time);

    std::shared_ptr<spdlog::sinks::sink> inner_;
    std::string directory_;
    std::string application_;
    std::uint64_t maxBytes_ = 0;
    std::uint64_t sinceMeasured_ = 0;
    int measuredDay_ = -1;  // year * 1000 + day of the year of the last measure
    bool dropping_ = false;
    std::uint64_t dropped_ = 0;
    std::unordered_map<std::string, Fold> folds_;
};
