#include "ui/model/SettingsForm.h"

#include <cstdint>

#include "platform/Text.h"

const char* const kNotAnIntegerMessage = "请输入一个整数。";
const char* const kAlertIntervalRangeMessage = "请输入一个介于 1 和 120 之间的整数。";

bool ParseInt32(std::string_view text, std::int32_t& value) {
    const std::string trimmed = platform::trimWhite(text);
    std::string_view rest = trimmed;
    bool negative = false;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    if (rest.empty()) return false;
    const std::int64_t limit = negative ? -std::int64_t(INT32_MIN) : INT32_MAX;
    std::int64_t magnitude = 0;
    for (char c : rest) {
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit) return false;
    }
    value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return true;
}

SettingsExchange TakeSettings(const SettingsTexts& texts, SettingsValues& values) {
    values.server = texts.server;
    values.port = texts.port;
    values.user = texts.user;
    values.password = texts.password;
    values.recipients = texts.recipients;

    std::int32_t minAlertInterval = 0;
    if (!ParseInt32(texts.minAlertInterval, minAlertInterval))
        return {false, kMinAlertIntervalEditId, kNotAnIntegerMessage};
    if (minAlertInterval < kMinAlertIntervalLowest || minAlertInterval > kMinAlertIntervalHighest)
        return {false, kMinAlertIntervalEditId, kAlertIntervalRangeMessage};
    values.minAlertInterval = minAlertInterval;

    std::int32_t checkInterval = 0;
    if (!ParseInt32(texts.checkInterval, checkInterval)) return {false, kCheckIntervalEditId, kNotAnIntegerMessage};
    values.checkInterval = checkInterval;
    return {};
}
