#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/core/PassHistogram.h"
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
