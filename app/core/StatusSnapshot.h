#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <optional>

#include "app/core/PassHistogram.h"
#include "supervision/LastExit.h"
#include "supervision/HealthState.h"
#include "supervision/ServerState.h"

// One server as the loop last saw it.
struct ServerStatus {
    std::int32_t index = 0;
    std::string name;
    std::int32_t pid = 0;          // 0 when down
    std::string listen;            // "a.b.c.d:port", empty when none is known
    std::int64_t startTime = 0;    // seconds since 1970, 0 when unknown
    bool autoStart = true;
    ServerState state = ServerState::Stopped;
    std::int64_t nextAttempt = 0;  // while it waits for a restart: seconds since 1970 of the attempt, else 0
    std::uint64_t restarts = 0;    // launches by this supervisor
    std::string lastExit;          // how its last process ended ("exited with code 3"), empty when none has
    std::string startError;        // why its last start launched nothing, empty when it did
    std::optional<LastExit> exit;  // how its last process ended, in full; empty when none has
    std::uint64_t exitsByCode = 0;    // its processes that ended with an exit code
    std::uint64_t exitsBySignal = 0;  // ... and those a signal ended
    std::int64_t uptimeSeconds = 0;  // how long its process has run, 0 when down
    std::string outputFile;        // the file its launches write their output to; empty when discarded
    std::string outputNote;        // why its output is not in that file now; empty when it is
    HealthState health = HealthState::None;  // what its health rule last found
    std::string healthReason;                // what the rule saw when it failed
};

// The state of every server, published by the loop after each pass and
// each change, for the threads that answer `ctl status` and /metrics: they
// read it and never touch a record.
struct StatusSnapshot {
    std::vector<ServerStatus> servers;  // in index order
    std::int32_t running = 0;           // servers in the state running
    std::uint64_t passes = 0;           // check passes so far
    PassHistogram passDurations;
};
