#pragma once

class MonitoredServer;

// Told by the supervisor, on its own thread, what has changed.
class SupervisorObserver {
public:
    virtual ~SupervisorObserver() = default;
    // The record's row is out of date.
    virtual void serverChanged(const MonitoredServer& server) = 0;
    // A check pass over every record has ended.
    virtual void passEnded() {}
    // The list was (re)loaded: records may have come or gone.
    virtual void listLoaded() {}
};
