#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "supervision/Clock.h"

// What happened to a server that somebody should hear of.
enum class AlertKind {
    ServerDown,   // its process has gone while auto-start is on; a restart follows
    Started,      // its first start has held for the confirmation time ("started successfully")
    Restarted,    // a later start has held for the confirmation time ("started successfully")
    Stopped,      // the operator stopped it, and its process has gone
    StartFailed,  // the launch itself failed
    BackoffMax,   // it keeps failing: the wait between restarts has reached its maximum
    Recovered,    // running again, for as long as a start must last, after one of the alerts above
    ProcwardStarted,   // the supervisor itself has started (index 0, no server)
    ProcwardStopping,  // the supervisor itself is ending
    Unhealthy,    // its health rule failed as often in a row as it allows
    Healthy,      // its health rule passes again after an Unhealthy
};

// One alert, as the supervisor raises it. The texts are the ones mailed and
// logged; the rest lets a sink decide what to do with it.
struct AlertEvent {
    AlertKind kind = AlertKind::ServerDown;
    std::int32_t index = 0;  // of the server, in the list
    std::string name;        // display name of the server
    std::int32_t pid = 0;    // the new process of a Restarted server, else 0
    std::int64_t time = 0;   // seconds since 1970
    Clock::TimePoint at{};   // the same moment on the supervisor's clock
    std::string message;     // the alert text
    std::string subject;     // the subject of an alert mail
    std::string reason;      // why: how the process ended of a ServerDown, the system's error text of a StartFailed, what the health rule saw
    // The server's last output lines, where it keeps an output file; else empty.
    std::vector<std::string> output;
    // Of a server whose process ended (ServerDown, BackoffMax): the file its
    // output went to and that file's size at the alert, so that its last
    // lines can be read later; or, when there is no such file, why
    // (outputNote).
    std::string outputFile;
    std::int64_t outputEnd = -1;
    std::string outputNote;
};
