#include <gtest/gtest.h>

#include "ui/model/SettingsForm.h"

namespace {

SettingsTexts typed(std::string minAlertInterval, std::string checkInterval, std::string stopTimeout = "10",
                    std::string restartBackoffMax = "0") {
    return {"smtp.example.org",         "25",
            "alert",                    "secret",
            "a@example.org;b@example.org", std::move(minAlertInterval),
            std::move(checkInterval),   std::move(stopTimeout),
            std::move(restartBackoffMax)};
}

SettingsValues previous() {
    SettingsValues values;
    values.server = "old";
    values.minAlertInterval = 5;
    values.checkInterval = 3;
    values.stopTimeout = 10;
    values.restartBackoffMax = 0;
    return values;
}

TEST(ParseInt32Test, TakesSignedDecimalIntegersWithin32Bits) {
    std::int32_t value = 7;
    EXPECT_TRUE(ParseInt32("0", value));
    EXPECT_EQ(0, value);
    EXPECT_TRUE(ParseInt32("99999", value));
    EXPECT_EQ(99999, value);
    EXPECT_TRUE(ParseInt32("-12", value));
    EXPECT_EQ(-12, value);
    EXPECT_TRUE(ParseInt32("+12", value));
    EXPECT_EQ(12, value);
    EXPECT_TRUE(ParseInt32(" 007 ", value));
    EXPECT_EQ(7, value);
    EXPECT_TRUE(ParseInt32("2147483647", value));
    EXPECT_EQ(2147483647, value);
    EXPECT_TRUE(ParseInt32("-2147483648", value));
    EXPECT_EQ(-2147483647 - 1, value);
}

TEST(ParseInt32Test, RefusesEverythingElseAndKeepsTheValue) {
    for (const char* text : {"", "   ", "+", "-", "12a", "1 2", "1.5", "0x10", "+-1", "--1", "2147483648",
                             "-2147483649", "99999999999999999999", "１２"}) {
        std::int32_t value = 42;
        EXPECT_FALSE(ParseInt32(text, value)) << text;
        EXPECT_EQ(42, value) << text;
    }
}

TEST(TakeSettingsTest, TakesAllValuesWhenBothIntervalsAreSound) {
    SettingsValues values = previous();
    const SettingsExchange exchange = TakeSettings(typed("120", "99999", "30", "600"), values);
    EXPECT_TRUE(exchange.ok);
    EXPECT_EQ("smtp.example.org", values.server);
    EXPECT_EQ("25", values.port);
    EXPECT_EQ("alert", values.user);
    EXPECT_EQ("secret", values.password);
    EXPECT_EQ("a@example.org;b@example.org", values.recipients);
    EXPECT_EQ(120, values.minAlertInterval);
    EXPECT_EQ(99999, values.checkInterval);
    EXPECT_EQ(30, values.stopTimeout);
    EXPECT_EQ(600, values.restartBackoffMax);

    // The lowest values: one second between checks, a kill at once, no back-off.
    EXPECT_TRUE(TakeSettings(typed("1", "1", "0", "0"), values).ok);
    EXPECT_EQ(1, values.minAlertInterval);
    EXPECT_EQ(1, values.checkInterval);
    EXPECT_EQ(0, values.stopTimeout);
    EXPECT_EQ(0, values.restartBackoffMax);
}

TEST(TakeSettingsTest, CheckIntervalBelowOneSecondIsRefused) {
    for (const char* interval : {"0", "-1", "-2147483648"}) {
        SettingsValues values = previous();
        const SettingsExchange exchange = TakeSettings(typed("60", interval, "30", "600"), values);
        EXPECT_FALSE(exchange.ok) << interval;
        EXPECT_EQ(kCheckIntervalEditId, exchange.failedField) << interval;
        EXPECT_EQ(kCheckIntervalTooShortMessage, exchange.message) << interval;
        // The fields before it are taken; it and the ones after keep theirs.
        EXPECT_EQ(60, values.minAlertInterval);
        EXPECT_EQ(3, values.checkInterval);
        EXPECT_EQ(10, values.stopTimeout);
        EXPECT_EQ(0, values.restartBackoffMax);
    }
}

TEST(TakeSettingsTest, StopTimeoutAndBackoffMaximumMustBeWholeSecondsOfAtLeastZero) {
    struct Case {
        const char* stopTimeout;
        const char* restartBackoffMax;
        int field;
        const char* message;
    };
    for (const Case& bad : {Case{"-1", "0", kStopTimeoutEditId, kNegativeSecondsMessage},
                            Case{"", "0", kStopTimeoutEditId, kNotAnIntegerMessage},
                            Case{"5", "-3", kRestartBackoffMaxEditId, kNegativeSecondsMessage},
                            Case{"5", "1.5", kRestartBackoffMaxEditId, kNotAnIntegerMessage}}) {
        SettingsValues values = previous();
        const SettingsExchange exchange = TakeSettings(typed("60", "7", bad.stopTimeout, bad.restartBackoffMax), values);
        EXPECT_FALSE(exchange.ok) << bad.stopTimeout << " " << bad.restartBackoffMax;
        EXPECT_EQ(bad.field, exchange.failedField) << bad.stopTimeout << " " << bad.restartBackoffMax;
        EXPECT_EQ(bad.message, exchange.message) << bad.stopTimeout << " " << bad.restartBackoffMax;
        EXPECT_EQ(7, values.checkInterval);
        EXPECT_EQ(0, values.restartBackoffMax);
        if (bad.field == kRestartBackoffMaxEditId) EXPECT_EQ(5, values.stopTimeout);
        else EXPECT_EQ(10, values.stopTimeout);
    }
}

TEST(TakeSettingsTest, AlertIntervalOutOfRangeStopsAfterTheTexts) {
    for (const char* interval : {"0", "121", "-5"}) {
        SettingsValues values = previous();
        const SettingsExchange exchange = TakeSettings(typed(interval, "10"), values);
        EXPECT_FALSE(exchange.ok) << interval;
        EXPECT_EQ(kMinAlertIntervalEditId, exchange.failedField);
        EXPECT_EQ(kAlertIntervalRangeMessage, exchange.message);
        // The texts come first and are taken; the intervals keep theirs.
        EXPECT_EQ("smtp.example.org", values.server);
        EXPECT_EQ("a@example.org;b@example.org", values.recipients);
        EXPECT_EQ(5, values.minAlertInterval);
        EXPECT_EQ(3, values.checkInterval);
    }
}

TEST(TakeSettingsTest, FieldsThatAreNotIntegersAskForAnInteger) {
    SettingsValues values = previous();
    SettingsExchange exchange = TakeSettings(typed("", "10"), values);
    EXPECT_FALSE(exchange.ok);
    EXPECT_EQ(kMinAlertIntervalEditId, exchange.failedField);
    EXPECT_EQ(kNotAnIntegerMessage, exchange.message);

    // A sound alert interval is taken before the check interval fails.
    values = previous();
    exchange = TakeSettings(typed("60", ""), values);
    EXPECT_FALSE(exchange.ok);
    EXPECT_EQ(kCheckIntervalEditId, exchange.failedField);
    EXPECT_EQ(kNotAnIntegerMessage, exchange.message);
    EXPECT_EQ(60, values.minAlertInterval);
    EXPECT_EQ(3, values.checkInterval);

    // The alert interval is checked first.
    exchange = TakeSettings(typed("500", "x"), values);
    EXPECT_EQ(kMinAlertIntervalEditId, exchange.failedField);
}

}  // namespace
