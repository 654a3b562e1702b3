#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "config/ServerEntry.h"
#include "config/StateFile.h"
#include "platform/ProcessControl.h"
#include "supervision/AlertSink.h"
#include "supervision/HealthCheck.h"
#include "supervision/HealthState.h"
#include "supervision/Clock.h"
#include "supervision/LastExit.h"
#include "supervision/ServerInfo.h"
#include "supervision/ServerState.h"
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
    std::uint64_t lastHealthTicket = 0;
    // Calls owed to those waiting for a stop. They run once the record
    // operation that ended the stop has returned, since they may change the
    // list (and so destroy records).
    std::vector<std::function<void()>> completions{};
    // Set when what the state file keeps of a record (the process it
    // holds, its auto-start mode) may have changed.
    bool stateChanged = false;
    // While a call of the supervisor runs with a launch slice: the real
    // time after which no more servers are launched in it.
    std::optional<std::chrono::steady_clock::time_point> launchesUntil{};
    // Servers launched in the current call: the first always is, so every
    // call makes progress however slow the machine.
    int launchesThisCall = 0;
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
//
// A process the record launched is its server from the moment of the
// launch until it exits, whatever it execs or calls itself: it is held,
// never matched against the command line again. Matching finds only what
// the record did not launch (a server started by hand, or before this
// supervisor ran and not remembered in the state file).
class MonitoredServer {
public:
    explicit MonitoredServer(SupervisionContext& context);
    ~MonitoredServer();
    MonitoredServer(const MonitoredServer&) = delete;
    MonitoredServer& operator=(const MonitoredServer&) = delete;

    // What the operator configured and what was last observed.
    const ServerInfo& info() const { return info_; }
    // The entry's optional keys (working directory, environment, ...).
    const ServerOptions& options() const { return options_; }
    // Restart the server when a check finds it stopped.
    bool autoStart() const { return autoStart_; }
    // What the server is doing, in one word.
    ServerState state() const;
    // How the last process of this record ended; empty while none has.
    const std::optional<LastExit>& lastExit() const { return lastExit_; }
    // Why the last start could not launch anything; empty when it could.
    const std::string& startError() const { return startError_; }
    // The file a launch of this server appends its output to; empty when
    // its output is discarded (or no output directory is set).
    const std::string& outputFile() const { return outputFile_; }
    // The file the process held now writes to; empty when there is none
    // (nothing held, a process found running rather than launched, output
    // discarded).
    const std::string& capturedIn() const { return capturedIn_; }
    // Why the output of this server is not in its file, for where it would
    // be shown; empty when it is.
    std::string outputNote() const;

    bool stopping() const { return stop_.has_value(); }
    // While a stop waits for the server to end by itself: when it is
    // killed if it has not.
    std::optional<Clock::TimePoint> killDue() const {
        if (stop_ && !stop_->killed) return stop_->killAt;
        return std::nullopt;
    }
    // When settle, a stop, a pidfile, a group clean-up or a restart
    // attempt next has something to do.
    std::optional<Clock::TimePoint> nextDue() const;
    // How long the current process has been known to run; zero when none.
    Clock::Duration runningFor() const;
    std::uint64_t watchId() const { return watchId_; }
    // Launches made by this record.
    std::uint64_t restarts() const { return restarts_; }
    // Processes of this record that ended with an exit code, or by a signal
    // (those whose end this supervisor learnt).
    std::uint64_t exits(platform::ExitStatus::How how) const {
        return how == platform::ExitStatus::How::Code ? exitsByCode_ : exitsBySignal_;
    }

    // What the health rule last found, and why it failed (what it saw);
    // None without a rule.
    HealthState health() const;
    const std::string& healthReason() const { return health_.reason; }
    // Checks of the health rule that have come back.
    std::uint64_t healthChecks() const { return health_.checks; }
    // A check of the rule is under way.
    bool healthCheckUnderWay() const { return health_.ticket != 0; }

    // While a server that keeps failing waits for its next restart: when
    // that comes (the restart back-off; never while it is off).
    std::optional<Clock::TimePoint> nextRestart() const;
    // The same moment on the wall clock, in seconds since 1970.
    std::optional<std::int64_t> nextRestartTime() const;

private:
    // The Supervisor runs the operations; nobody else changes a record.
    friend class Supervisor;

    // Takes the texts, index and options of an entry, and the file its
    // output goes to (unless the entry discards it).
    void configure(const ServerEntry& entry, const std::string& outputFile = {});
    // Process ID of a running process that matches this server, which is
    // then held; 0 if none. Only for a record that holds nothing.
    std::int32_t findProcess(MachineLook& look);
    // Launches the server unless it runs; true when launched (and, for a
    // server that daemonizes, handed over to the process in its pidfile).
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
    // Periodic check; true when what observers show changed. `tick` is
    // false for a check made because the process exited or a restart came
    // due: a server that died young then waits for its back-off step (or,
    // with the back-off off, for the next tick).
    bool checkStatus(MachineLook& look, bool tick = true);

    // The follow-up of a launch, due 210 ms after it: the listen address
    // and start time of the settled server. True when the row changed.
    bool settle(MachineLook& look);
    // Follows a stop under way: kills after the time-out, ends the stop once
    // the process (and its group) has gone. True when the row changed.
    bool followStop();
    // Looks for the PID a daemonizing server wrote into its pidfile.
    bool followPidfile();
    // Follows the end of what was left of a process group.
    bool followCleanup();
    // A restart attempt has come due between the ticks.
    bool restartDue() const;
    // The watched process has ended (the exit watcher said so).
    void watchEnded();

    // Holds the process an earlier run of the supervisor held for this
    // entry, when it still runs (same start, same boot), or the one its
    // pidfile names. True when one is held.
    bool readopt(const RememberedServer& record, bool sameBoot);
    // What the state file keeps of this record.
    RememberedServer remembered() const;

    // Takes over the observed state of a record of the same server, across
    // a reload of the list.
    void takeRunStateFrom(MonitoredServer& other);
    // The operator's start: the back-off begins anew.
    void resetBackoff();

    // --- The health rule ---
    // True when a check of the rule is due now; `gathering` (checks of
    // other servers are starting now): also when it would be due within a
    // tenth of its interval, so that checks due at nearly the same time go
    // out, and come back, together instead of each waking the supervisor
    // on its own. The first check after a start keeps its grace exactly.
    bool healthDue(bool gathering = false) const;
    // The check to run now, under a new ticket that the record then awaits;
    // the next one is due an interval later.
    HealthCheck beginHealthCheck(std::uint64_t& ticket);
    // The check to run for the operator, which counts for nothing; false
    // (and why in `why`) when there is nothing to check.
    bool healthCheckNow(HealthCheck& check, std::string& why) const;
    // A check's result: the counts, the verdict and what follows from it
    // (an alert, a restart). True when the row changed.
    bool healthResult(const HealthCheckResult& result);
    // The ticket of the check the record awaits; 0: none.
    std::uint64_t healthTicket() const { return health_.ticket; }
    // A new process is held: the rule starts over after its grace.
    void resetHealth(Clock::TimePoint runningSince);

    // `withOutput`: the alert is about the end of the last process, whose
    // output it points to (always so for ServerDown and BackoffMax).
    void raise(AlertKind kind, std::string message, std::int32_t pid = 0, std::string reason = {},
               bool withOutput = false);

    struct PendingStop {
        Clock::TimePoint killAt;    // time-out of the graceful request
        Clock::TimePoint giveUpAt;  // after the kill, when to stop waiting
        Clock::TimePoint nextLook;  // where nothing can wait on the process
        bool killed = false;
        bool group = false;
        bool killAsked = false;  // the operator's kill, not the time-out
        bool forHealth = false;  // the health rule restarts the server
        std::vector<std::function<void(bool)>> done;
    };

    // A launched process that exited with code 0 has handed over to the
    // daemon it started; its PID comes from the pidfile.
    struct PidfileWait {
        Clock::TimePoint until;      // gives up then
        Clock::TimePoint nextLook;
        Clock::TimePoint launchedAt;
        int launchedPid = 0;
        std::uint64_t launchIdentity = 0;  // the daemon started no earlier than this
        LastExit handover;                 // how the launched process ended (code 0)
        std::string capturedIn;            // the daemon inherited the launch's output file
    };

    // The rest of the process group of a process that has ended, being ended
    // before the server is started again.
    struct Cleanup {
        std::unique_ptr<platform::ProcessHandle> leader;  // reaches the group by its ID
        int members = 0;                                  // left when it began
        Clock::TimePoint killAt;
        Clock::TimePoint giveUpAt;
        Clock::TimePoint nextLook;
        bool killed = false;
    };

    // `owned`: launched by a supervisor (this one or an earlier one);
    // `withGroup`: its process group goes with it; `seenAlive`: it is seen
    // running now (found or taken over, not just launched).
    void hold(std::unique_ptr<platform::ProcessHandle> process, Clock::TimePoint runningSince, bool owned,
              bool withGroup, bool seenAlive);
    void release();
    // The held process has ended: how, the log line, the clean-up of its
    // group, and whether it counts as a failed start.
    void noteEnd();
    // A start failed (the launch, or a process that died young): the next
    // attempt waits, as the back-off says or for the next tick.
    void failed(Clock::TimePoint attemptedAt);
    // Starts ending what is left of the leader's group, if anything is.
    void beginCleanup(std::unique_ptr<platform::ProcessHandle> leader);
    // The process named by the pidfile, when it runs and started no earlier
    // than `notBefore` (its identity); null otherwise.
    std::unique_ptr<platform::ProcessHandle> daemonFromPidfile(std::uint64_t notBefore);
    std::string pidfilePath() const;
    // The moment of the next start attempt outside the ticks, if any.
    std::optional<Clock::TimePoint> attemptDue() const;
    bool waitingForAttempt() const;
    // The launch slice of the current call is used up (see SupervisionOptions).
    bool launchSliceSpent() const;
    void putOffLaunch();
    platform::LaunchRequest launchRequest() const;
    void finishStop(bool ok);
    bool groupGone();
    void touched() { context_->stateChanged = true; }
    // Procward's own line in the output file of the process held.
    void note(const std::string& text) const;

    SupervisionContext* context_;
    ServerInfo info_;
    ServerOptions options_;
    bool autoStart_ = true;
    std::unique_ptr<platform::ProcessHandle> process_;
    bool owned_ = false;          // the process held was launched by a supervisor
    bool byThisRun_ = false;      // ... by this one (directly, or through its pidfile)
    int group_ = 0;               // its process group, which goes with it; 0: none
    bool groupWanted_ = false;    // the group may be ended with the process, once it leads one
    std::uint64_t identity_ = 0;  // platform::processIdentity of the process held
    std::uint64_t watchId_ = 0;
    Clock::TimePoint runningSince_{};
    std::optional<Clock::TimePoint> settleAt_;
    std::optional<PendingStop> stop_;
    std::optional<PidfileWait> pidfileWait_;
    std::optional<Cleanup> cleanup_;
    std::uint64_t restarts_ = 0;
    std::uint64_t exitsByCode_ = 0;
    std::uint64_t exitsBySignal_ = 0;
    // Keeps the exit and counts it.
    void recordExit(const LastExit& exit);
    std::optional<LastExit> lastExit_;
    std::string startError_;
    std::string outputFile_;
    std::string capturedIn_;

    // Failed starts in a row, and what the back-off makes of them.
    struct Backoff {
        int failures = 0;
        Clock::TimePoint firstFailure{};  // of the streak
        std::uint64_t restartsAtStart = 0;
        bool capReported = false;
    } backoff_;
    // The next start attempt comes no earlier than this (the back-off), or
    // at once once nothing else holds it (a server that ran long enough).
    std::optional<Clock::TimePoint> attemptAt_;
    // With the back-off off, a server that died young waits for the tick.
    bool awaitTick_ = false;
    // The last moment a check saw the held process alive: where nothing
    // told when it ended, it lived at least until then.
    Clock::TimePoint seenAliveAt_{};
    std::optional<Clock::TimePoint> endedAt_;  // when the exit watcher saw it end
    Clock::TimePoint lastStartedAt_{};         // of the last process held
    // A failure was alerted: a Recovered alert follows once it runs again.
    bool recoveryOwed_ = false;

    struct HealthWatch {
        Clock::TimePoint nextCheck{};
        std::uint64_t ticket = 0;  // of the check under way; 0: none
        int probeFailures = 0;     // failed probes in a row
        int memoryOver = 0;        // checks in a row above the memory limit
        HealthState state = HealthState::Checking;
        std::string reason;
        bool alerted = false;     // told unhealthy: the next pass is told as recovered
        std::uint64_t checks = 0;
        bool mayGather = false;  // the next check follows an interval, not a grace
    } health_;
};
