#include "log/MessageTextFlag.h"

void MessageTextFlag::format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) {
    const char* text = msg.payload.data();
    const char* const end = text + msg.payload.size();
    const char* run = text;
    for (; text != end; ++text) {
        if (*text != '\r' && *text != '\n') continue;
        dest.append(run, text);
        const char* escape = *text == '\r' ? "\\r" : "\\n";
        dest.append(escape, escape + 2);
        run = text + 1;
    }
    dest.append(run, end);
}

std::unique_ptr<spdlog::custom_flag_formatter> MessageTextFlag::clone() const {
    return std::make_unique<MessageTextFlag>();
}
