#include "ui/model/SettingsForm.h"

#include <cstdint>

#include "platform/Text.h"

const char* const kNotAnIntegerMessage = "请输入一个整数。";
const char* const kAlertIntervalRangeMessage = "请输入一个介于 1 和 120 之间的整数。";
const char* const kCheckIntervalTooShortMessage = "状态检查时间间隔不能小于 1 秒，请输入一个不小于 1 的整数。";
const char* const kNegativeSecondsMessage = "请输入一个不小于 0 的整数。";

namespace {

// One field of whole seconds that must be at least `lowest`.
bool TakeSeconds(const std::string& text, std::int32_t lowest, const char* tooLow, int field, std::int32_t& value,
                 SettingsExchange& exchange) {
    std::int32_t seconds = 0;
    if (!ParseInt32(text, seconds)) {
        exchange = {false, field, kNotAnIntegerMessage};
        return false;
    }
    if (seconds < lowest) {
        exchange = {false, field, tooLow};
        return false;
    }
    value = seconds;
    return true;
}

}  // namespace

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

    SettingsExchange exchange;
    if (!TakeSeconds(texts.checkInterval, 1, kCheckIntervalTooShortMessage, kCheckIntervalEditId,
                     values.checkInterval, exchange))
        return exchange;
    if (!TakeSeconds(texts.stopTimeout, 0, kNegativeSecondsMessage, kStopTimeoutEditId, values.stopTimeout, exchange))
        return exchange;
    if (!TakeSeconds(texts.restartBackoffMax, 0, kNegativeSecondsMessage, kRestartBackoffMaxEditId,
                     values.restartBackoffMax, exchange))
        return exchange;
    return exchange;
}
