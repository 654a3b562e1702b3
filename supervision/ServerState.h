#pragma once

// What a server is doing, in one word, as ctl, the metrics and the log tell
// it. A server is running only while its process is alive and has been
// confirmed; a server whose starts keep failing is never running.
enum class ServerState {
    Running,   // its process is alive
    Starting,  // launched, not yet confirmed (the settle read, or the PID from its pidfile)
    Stopping,  // asked to end; its process has not gone yet
    Stopped,   // no process: kept down by the operator, or between a process and the next
    Failing,   // its last start failed (the launch, or a process that died young); tried again at the next check
    Backoff,   // its starts keep failing: the next attempt waits as the restart back-off says
};

// "running", "starting", "stopping", "stopped", "failing", "backoff".
const char* serverStateName(ServerState state);
