#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "supervision/Clock.h"
#include "supervision/HealthState.h"
#include "supervision/ServerState.h"

class MonitoredServer;

// What the views were last told of a record. A change of any of it is
// told to the observers; and since it holds everything a report shows that
// can change while the entry stays as it is, a record whose view has kept
// its version reports as before but for its running clocks (uptime, the
// countdowns): a snapshot of a thousand records then only refreshes those.
struct RecordView {
    std::int32_t pid = 0;
    std::string ports;
    std::int64_t startTime = 0;
    bool autoStart = false;
    ServerState state = ServerState::Stopped;
    std::optional<Clock::TimePoint> nextRestart;
    HealthState health = HealthState::None;
    std::string healthReason;
    std::int64_t lastExitTime = 0;
    bool hasExit = false;
    std::string startError;
    bool cleaningUp = false;
    bool captured = false;  // its output goes to its file
    int outputWriter = 0;
    std::uint64_t launches = 0;
    std::uint64_t restarts = 0;
    std::uint64_t exits = 0;  // by a code or a signal
    std::uint64_t healthFailures = 0;

    // Numbers the views' changes; 0 while the views have not been told.
    std::uint64_t version = 0;

    // Brings the view up to the record, assigning only what differs (the
    // usual pass changes nothing, and copies no string for that); true
    // when anything did.
    bool update(const MonitoredServer& server);
};
