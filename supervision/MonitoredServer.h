#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProcessControl.h"
#include "supervision/AlertSink.h"
#include "supervision/Clock.h"
#include "supervision/ServerInfo.h"
#include "supervision/SupervisionOptions.h"

class MachineLook;
namespace platform {
class ExitWatcher;
class ProcessTable;
class TcpTable;
}  // namespace platform

// What every record of one supervisor shares: the machine, the time and the
// rules it checks by.
struct SupervisionContext {
    Clock& clock;
    platform::ProcessControl& control;
    platform::ProcessTable& table;
    platform::TcpTable& tcp;
    SupervisionOptions options;
    platform::ExitWatcher* watcher = nullptr;  // null: only the timer notices exits
    // Where alerts go, in this order; none: alerts are dropped.
    std::vector<AlertSink*> alertSinks{};
    std::uint64_t lastWatchId = 0;
    // Calls owed to those waiting for a stop. They run once the record
    // operation that ended the stop has returned, since they may change the
    // list (and so destroy records).
    std::vector<std::function<void()>> completions{};
};

// What stop() did.
enum class StopOutcome {
    NotRunning,  // no process to stop: nothing changed
    Failed,      // the process could not be signalled, or did not end
    Stopped,     // the process is gone
    Stopping,    // it was asked to end; the record says when it is gone
};

// One entry of the server list: its configuration, the observed state of
// its process and the auto-start mode. The supervisor owns the records and
// alone changes them; a window shows them but keeps no part of them.
class MonitoredServer {
public:
    explicit MonitoredServer(SupervisionContext& context);
    ~MonitoredServer();
    MonitoredServer(const MonitoredServer&) = delete;
    MonitoredServer& operator=(const MonitoredServer&) = delete;

    // What the operator configured and what was last observed.
    const ServerInfo& info() const { return info_; }
    // Restart the server when a check finds it stopped.
    bool autoStart() const { return autoStart_; }

    bool stopping() const { return stop_.has_value(); }
    // When settle or followStop next has something to do.
    std::optional<Clock::TimePoint> nextDue() const;
    // How long the current process has been known to run; zero when none.
    Clock::Duration runningFor() const;
    std::uint64_t watchId() const { return watchId_; }
    // Launches made by this record.
    std::uint64_t restarts() const { return restarts_; }

    // While a server that keeps failing waits for its next restart: when
    // that comes (the restart back-off; never while it is off).
    std::optional<Clock::TimePoint> nextRestart() const;
    // The same moment on the wall clock, in seconds since 1970.
    std::optional<std::int64_t> nextRestartTime() const;

private:
    // The Supervisor runs the operations; nobody else changes a record.
    friend class Supervisor;

    // Takes the configured texts and index of an entry.
    void configure(std::int32_t index, const std::string& name, const std::string& processname,
                   const std::string& commandline);
    // Process ID of the running process that matches this server, 0 if
    // none. A process found once is held until it ends: while it runs it
    // is this server's, whatever it does to its argument list.
    std::int32_t findProcess(MachineLook& look);
    // Launches the server unless it runs; true when launched and recognised.
    bool start();
    // Stops the server's process and sets the auto-start mode. The process
    // may take a while to end: `done` is called (on the supervisor's
    // thread) with true once it has gone, false if it could not be ended.
    StopOutcome stop(bool keepAutoStart, std::function<void(bool)> done = {});
    // Sets the auto-start mode, logged when it changes; true when it did.
    bool setAutoStart(bool on);
    // Listen address of the process `pid`, "" when none.
    std::string readListenAddress(MachineLook& look);
    // Writes the creation time of the process `pid` into startTime on success.
    void readStartTime(std::int64_t& startTime);
    // Periodic check; true when pid or ports changed.
    bool checkStatus(MachineLook& look);

    // The follow-up of a launch, due 210 ms after it: the listen address
    // and start time of the settled server. True when the row changed.
    bool settle(MachineLook& look);
    // Follows a stop under way: kills after the time-out, ends the stop once
    // the process (and its group) has gone. True when the row changed.
    bool followStop();
    // The watched process has ended (the exit watcher said so).
    void processEnded();

    // Takes over the observed state of a record of the same server, across
    // a reload of the list.
    void takeRunStateFrom(MonitoredServer& other);
    // The operator's start: the back-off begins anew.
    void resetBackoff();

    void raise(AlertKind kind, std::string message, std::int32_t pid = 0, std::string reason = {});

    struct PendingStop {
        Clock::TimePoint killAt;    // time-out of the graceful request
        Clock::TimePoint giveUpAt;  // after the kill, when to stop waiting
        Clock::TimePoint nextLook;  // where nothing can wait on the process
        bool killed = false;
        bool group = false;
        std::vector<std::function<void(bool)>> done;
    };

    void hold(std::unique_ptr<platform::ProcessHandle> process, Clock::TimePoint runningSince);
    // A restart attempt failed (the launch, or a process that died sooner
    // than one check interval after it started): the next one waits.
    void restartFailed(Clock::TimePoint attemptedAt);
    bool backingOff() const;
    void release();
    void finishStop(bool ok);
    bool groupGone();

    SupervisionContext* context_;
    ServerInfo info_;
    bool autoStart_ = true;
    std::unique_ptr<platform::ProcessHandle> process_;
    std::uint64_t watchId_ = 0;
    Clock::TimePoint runningSince_{};
    std::optional<Clock::TimePoint> settleAt_;
    std::optional<PendingStop> stop_;
    std::uint64_t restarts_ = 0;

    struct Backoff {
        int failures = 0;                  // in a row
        Clock::TimePoint firstFailure{};   // of the streak
        std::uint64_t restartsAtStart = 0;
        std::optional<Clock::TimePoint> nextAttempt;
        bool capReported = false;
    } backoff_;
    // Whether the last process, once it has gone, lived shorter than one
    // check interval: it ended before any check saw it running, or the exit
    // watcher saw it end that soon. None while one runs.
    std::optional<bool> lastDiedYoung_;
    int checksSeenAlive_ = 0;              // of the process held
    std::optional<Clock::TimePoint> endedAt_;  // when the exit watcher saw it end
    Clock::TimePoint lastStartedAt_{};  // of the last process held
};
