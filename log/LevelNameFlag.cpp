#include "log/LevelNameFlag.h"

#include <cstring>

const char* LevelNameFlag::name(spdlog::level::level_enum level) {
    static const char* const names[] = {"TRACE", "DEBUG", "INFO ", "WARNING", "ERROR", "CRITICAL", "OFF"};
    const auto i = static_cast<unsigned>(level);
    return i < sizeof(names) / sizeof(names[0]) ? names[i] : "";
}

void LevelNameFlag::format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) {
    const char* text = name(msg.level);
    dest.append(text, text + std::strlen(text));
}

std::unique_ptr<spdlog::custom_flag_formatter> LevelNameFlag::clone() const {
    return std::make_unique<LevelNameFlag>();
}
