#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The decisions of the settings dialog: taking the typed values over, in the
// dialog's order, with the checks of the number fields.

// The dialog's controls.
constexpr int kCheckIntervalEditId = 1008;
constexpr int kSmtpServerEditId = 1010;
constexpr int kSmtpPortEditId = 1011;
constexpr int kSmtpUserEditId = 1012;
constexpr int kSmtpPasswordEditId = 1013;
constexpr int kMinAlertIntervalEditId = 1014;
constexpr int kMailToEditId = 1015;
constexpr int kTestMailButtonId = 1016;
constexpr int kSmtpSecurityChoiceId = 1017;
constexpr int kTlsVerifyCheckId = 1018;
constexpr int kStopTimeoutEditId = 1019;
constexpr int kRestartBackoffMaxEditId = 1020;

// The minimum alert interval must lie in this range, in seconds.
constexpr std::int32_t kMinAlertIntervalLowest = 1;
constexpr std::int32_t kMinAlertIntervalHighest = 120;

// Shown when a number field does not hold an integer, when the minimum
// alert interval is out of its range, when the check interval is below one
// second (a shorter period only burns the processor), and when a time-out
// is negative.
extern const char* const kNotAnIntegerMessage;
extern const char* const kAlertIntervalRangeMessage;
extern const char* const kCheckIntervalTooShortMessage;
extern const char* const kNegativeSecondsMessage;

// The texts as they stand in the controls.
struct SettingsTexts {
    std::string server;
    std::string port;
    std::string user;
    std::string password;
    std::string recipients;
    std::string minAlertInterval;
    std::string checkInterval;
    std::string stopTimeout;
    std::string restartBackoffMax;
};

// The dialog's values.
struct SettingsValues {
    std::string server;
    std::string port;
    std::string user;
    std::string password;
    std::string recipients;
    std::int32_t minAlertInterval = 0;
    std::int32_t checkInterval = 0;
    std::int32_t stopTimeout = 10;
    std::int32_t restartBackoffMax = 0;
};

struct SettingsExchange {
    bool ok = true;
    int failedField = 0;  // control to focus when not ok
    std::string message;  // to show when not ok
};

// An integer as typed: white space around it is ignored, then an optional
// sign and at least one decimal digit, nothing else, within 32 bits. False
// (value untouched) otherwise; an empty text is not an integer.
bool ParseInt32(std::string_view text, std::int32_t& value);

// Takes the texts into `values` in this order: the five texts, then the
// minimum alert interval (an integer from 1 to 120), then the check interval
// (an integer of at least 1), then the stop time-out and the restart
// back-off maximum (integers of at least 0). The first field that fails stops the exchange: it
// and the fields after it keep their values, the fields before it hold the
// new ones.
SettingsExchange TakeSettings(const SettingsTexts& texts, SettingsValues& values);
