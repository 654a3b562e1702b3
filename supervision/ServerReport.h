#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "supervision/Clock.h"
#include "supervision/HealthState.h"
#include "supervision/LastExit.h"
#include "supervision/ServerState.h"

// One server as every view shows it: the window's row, its tooltip and the
// tray, the window-less lines, ctl's table and JSON, the metrics. The record
// works each value out once, at one moment (`MonitoredServer::report`), so
// the views cannot disagree, and the running clocks (uptime, the next
// attempt, the kill's countdown) are those of that moment.
struct ServerReport {
    std::int32_t index = 0;
    std::string name;
    std::string processname;
    std::string commandline;

    ServerState state = ServerState::Stopped;
    bool autoStart = true;
    std::int32_t pid = 0;            // of the process held; 0 when none
    std::string listen;              // "a.b.c.d:port", empty when none is known
    std::int64_t startTime = 0;      // seconds since 1970 of the process held, 0 when none or unknown
    std::int64_t uptimeSeconds = 0;  // how long the process held has run; 0 when none
    Clock::Duration uptime{};
    // While it waits for its next start: when that comes (seconds since
    // 1970, and how long from the report's moment); 0 and empty otherwise.
    std::int64_t nextAttempt = 0;
    std::optional<Clock::Duration> nextAttemptIn;
    // While a stop waits for the process to end by itself: how long until
    // it is killed.
    std::optional<Clock::Duration> killIn;

    std::uint64_t launches = 0;        // processes this Procward launched for it
    std::uint64_t restarts = 0;        // launches after it had run once: 0 for a server started once
    std::uint64_t exitsByCode = 0;     // its processes that ended with an exit code
    std::uint64_t exitsBySignal = 0;   // ... and those a signal ended
    std::uint64_t healthFailures = 0;  // times its health rule found it unhealthy

    std::optional<LastExit> exit;  // how its last process ended; empty when none has
    std::string lastExit;          // the same as a reason ("exited with code 3"); empty when none has
    std::string startError;        // why its last start launched nothing; empty when it did

    std::string outputFile;  // the file its launches write their output to; empty when discarded
    std::string outputNote;  // why its output is not in that file now; empty when it is
    int outputWriter = 0;    // the process that writes its output to the file and rotates it; 0: none

    HealthState health = HealthState::None;
    std::string healthReason;  // what the rule saw when it failed; empty unless unhealthy

    bool running() const { return state == ServerState::Running; }
    // Down although it should run: auto-start on, no process.
    bool downWanted() const { return pid == 0 && autoStart; }

    bool operator==(const ServerReport&) const = default;
};
