#pragma once
#include <string>
#include <vector>

#include "supervision/AlertEvent.h"

// What a channel sends: one alert, a digest of the alerts its interval or
// its budget held back, or the operator's test.
struct ChannelMessage {
    enum class Type { Alert, Digest, Test };

    Type type = Type::Alert;
    std::string title;               // a few words: "game03 down (SIGSEGV)", "and 19 more"
    std::string text;                // the whole text, lines separated by "\n"
    std::vector<AlertEvent> events;  // the alert; the digest's alerts; none for a test
    std::string host;                // the machine it comes from
    std::int64_t time = 0;           // seconds since 1970
    // "3 alerts could not be sent: ..." when earlier alerts of the channel
    // could not be delivered; empty when none.
    std::string unsentNote;

    // One alert: its text, with the reason and the machine.
    static ChannelMessage alert(const AlertEvent& event);
    // Alerts held back, one line each ("game03 down (SIGSEGV)"), under the
    // title "and 19 more".
    static ChannelMessage digest(std::vector<AlertEvent> events, std::int64_t now);
    // The test of `procward --test-alert`.
    static ChannelMessage test(std::int64_t now);

    // The lines of the text, with the note of unsent alerts after them.
    std::vector<std::string> lines() const;

    // What the log says of it.
    std::string logText() const;
};
