#pragma once
#include <spdlog/pattern_formatter.h>

// Writes the level of a message as the supervisor names it: "TRACE",
// "DEBUG", "INFO ", "WARNING", "ERROR", "CRITICAL", "OFF".
class LevelNameFlag : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm& tm_time, spdlog::memory_buf_t& dest) override;
    std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;

    static const char* name(spdlog::level::level_enum level);
};
