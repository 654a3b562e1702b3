#pragma once
#include <spdlog/pattern_formatter.h>

// Writes the text of a message with every CR as the two characters "\r" and
// every LF as "\n", so that one message is always one line of the log and a
// text that came from outside (a server name, a mail server's reply) cannot
// forge lines of its own.
class MessageTextFlag : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm& tm_time, spdlog::memory_buf_t& dest) override;
    std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;
};
