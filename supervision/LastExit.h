#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "platform/ExitStatus.h"
#include "supervision/Clock.h"

// How the last process of a server ended, as far as this supervisor can
// know: only the parent of a process learns its exit status, so a process
// found running or taken over from an earlier run ends without one.
struct LastExit {
    std::optional<platform::ExitStatus> status;  // empty: unknown
    bool launchedHere = false;                   // this supervisor started it (or its daemonizing start)
    std::int64_t time = 0;                       // seconds since 1970 when its end was seen
    std::optional<Clock::Duration> ran;          // how long it ran, where that is known
    // What else went wrong with it ("its pidfile ... named no running
    // process"), added to the reason; usually empty.
    std::string detail;
    // The file its output went to; empty when it was not captured.
    std::string outputFile;

    // Why it ended, to follow the server's name: "exited with code 3", "was
    // killed by signal 9 (SIGKILL) (core dumped)", "exit status unknown (not
    // started by this Procward)".
    std::string reason() const;
    // The log line: "crasher exited with code 3 after 0.8 s", "game01
    // ended; exit status unknown (not started by this Procward)".
    std::string logLine(const std::string& name) const;
    // The same without the name: "exited with code 3 after 0.8 s", "ended;
    // exit status unknown (not started by this Procward)".
    std::string summary() const;

    // A run time for people: "0.8 s", "42 s", "5 min 3 s", "3 h 12 min", "2 d 4 h".
    static std::string durationText(Clock::Duration duration);

    bool operator==(const LastExit&) const = default;
};
