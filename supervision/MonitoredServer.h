#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/ServerEntry.h"
#include "config/StateFile.h"
#include "platform/ProcessControl.h"
#include "supervision/AlertSink.h"
#include "supervision/Clock.h"
#include "supervision/HealthCheck.h"
#include "supervision/HealthState.h"
#include "supervision/HealthTracker.h"
#include "supervision/RecordView.h"
#include "supervision/LastExit.h"
#include "supervision/RestartBackoff.h"
#include "supervision/ServerInfo.h"
#include "supervision/ServerLifecycle.h"
#include "supervision/ServerReport.h"
#include "supervision/ServerState.h"
#include "supervision/StopEscalation.h"
#include "supervision/SupervisionOptions.h"

class MachineLook;
class MonitoredServer;
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
    // Tells the observers what a record shows now (the Supervisor's; empty
    // in a record without one).
    std::function<void(const MonitoredServer&)> tell{};
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
    // True when another record holds the process `pid` (the Supervisor's;
    // empty in a record without one).
    std::function<bool(int pid)> heldElsewhere{};
    // Servers launched in the current call: the first always is, so every
    // call makes progress however slow the machine.
    int launchesThisCall = 0;
};

// Why a stop is made; it decides what follows once the process has gone.
enum class StopFor {
    Operator,  // the operator's stop (or removal): nothing follows
    Health,    // the health rule restarts the server: a failure, as a crash is
    Change,    // its entry changed: the new definition starts at once
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
// alone changes them, through the operations below; a window shows them
// but keeps no part of them.
//
// The server's state (ServerLifecycle) changes in one place, `enter`, which
// logs the transition, raises the alert that belongs to it and tells the
// observers. Everything a view shows is worked out once, by `report`.
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

    // Everything the views show, as of now.
    ServerReport report() const;
    // The same into `r`, reusing what it holds.
    void report(ServerReport& r) const;
    // Only the running clocks of `r` (uptime, the next attempt, the kill's
    // countdown), as of now: all that changes of a report made from this
    // record while its view keeps its version.
    void reportClocks(ServerReport& r) const;
    // What the views were last told of this record (the supervisor keeps
    // it here, beside the record, and numbers its changes).
    RecordView& toldView() const { return told_; }
    std::uint64_t viewVersion() const { return told_.version; }

    // What the operator configured and what was last observed.
    const ServerInfo& info() const { return run_.info; }
    // The entry's optional keys (working directory, environment, ...).
    const ServerOptions& options() const { return options_; }
    // Restart the server when a check finds it stopped.
    bool autoStart() const { return run_.autoStart; }
    // What the server is doing, in one word.
    ServerState state() const { return run_.life.state(); }
    // How the last process of this record ended; empty while none has.
    const std::optional<LastExit>& lastExit() const { return run_.lastExit; }
    // Why the last start could not launch anything; empty when it could.
    const std::string& startError() const { return run_.startError; }
    // The file a launch of this server appends its output to; empty when
    // its output is discarded (or no output directory is set).
    const std::string& outputFile() const { return outputFile_; }
    // The file the process held now writes to; empty when there is none
    // (nothing held, a process found running rather than launched, output
    // discarded).
    const std::string& capturedIn() const { return run_.held.capturedIn; }
    // The process that writes the output of the process held to its file;
    // 0 when none does.
    int outputWriter() const { return run_.held.process ? run_.held.outputWriter : 0; }
    // Why the output of this server is not in its file, for where it would
    // be shown; empty when it is.
    std::string outputNote() const;

    bool stopping() const { return run_.stop.has_value(); }
    // What was left of its last process's group is being ended; the
    // restart waits for it.
    bool cleaningUp() const { return run_.cleanup.has_value(); }
    // While a stop waits for the server to end by itself: when it is
    // killed if it has not.
    std::optional<Clock::TimePoint> killDue() const {
        return run_.stop ? run_.stop->escalation.killDue() : std::nullopt;
    }
    // When settle, a confirmation, a stop, a pidfile, a group clean-up, a
    // restart attempt or a health check next has something to do.
    std::optional<Clock::TimePoint> nextDue() const;
    // How long the current process has been known to run; zero when none.
    Clock::Duration runningFor() const;
    Clock::Duration runningFor(Clock::TimePoint now) const;
    std::uint64_t watchId() const { return run_.held.watchId; }
    // Processes launched for this server, and those of them launched after
    // it had run once (a server started once has restarted 0 times).
    std::uint64_t launches() const { return run_.counts.launches; }
    std::uint64_t restarts() const { return run_.counts.restarts; }
    // Processes of this record that ended with an exit code, or by a signal
    // (those whose end this supervisor learnt).
    std::uint64_t exits(platform::ExitStatus::How how) const {
        return how == platform::ExitStatus::How::Code ? run_.counts.exitsByCode : run_.counts.exitsBySignal;
    }

    // What the health rule last found, and why it failed (what it saw);
    // None without a rule.
    HealthState health() const;
    const std::string& healthReason() const { return run_.health.reason(); }
    // Checks of the health rule that have come back, and the times it found
    // the server unhealthy.
    std::uint64_t healthChecks() const { return run_.health.checks(); }
    std::uint64_t healthFailures() const { return run_.health.failures(); }
    // A check of the rule is under way.
    bool healthCheckUnderWay() const { return run_.health.ticket() != 0; }

    // While a server waits for its next start: when that comes (the restart
    // back-off, or a start put off; never while it waits for a tick).
    std::optional<Clock::TimePoint> nextRestart() const;
    // The same moment on the wall clock, in seconds since 1970.
    std::optional<std::int64_t> nextRestartTime() const;

private:
    // The Supervisor runs the operations; nobody else changes a record.
    friend class Supervisor;

    // Why the state changes; it decides the alert of the transition.
    enum class Cause {
        Launched,     // a process was launched
        Found,        // a running process was found or taken over
        Confirmed,    // the launched process has lived the confirmation time
        StartFailed,  // the launch failed, or the process died before it was confirmed
        Ended,        // the process held has ended by itself
        StopAsked,    // a stop was sent
        StopEnded,    // the stopped process has gone
        StopFailed,   // it could not be ended
        KeptDown,     // no process, and auto-start went off
    };

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
    // `timeout`: how long it may take to end by itself before it is killed
    // (none: the entry's "stop_timeout", else STOP_TIMEOUT); it is asked with
    // the entry's "stop_signal".
    StopOutcome stop(bool keepAutoStart, std::function<void(bool)> done = {},
                     std::optional<Clock::Duration> timeout = std::nullopt, StopFor why = StopFor::Operator);
    // Sends a signal to the process held (or its group), nothing else.
    platform::SignalResult sendSignal(platform::StopSignal kind, bool group, int& error);
    // Ends the process at once (a stop with no time-out), also a stop that
    // is still waiting for its time-out; auto-start goes off.
    StopOutcome kill(std::function<void(bool)> done);
    // Sets the auto-start mode, logged when it changes; true when it did.
    // A server kept down that holds no process is stopped.
    bool setAutoStart(bool on);
    // The operator's restart of a server that is down now: auto-start on,
    // its back-off forgotten, and a check that starts it.
    void startAgain(MachineLook& look);
    // Listen address of the process `pid`, "" when none.
    std::string readListenAddress(MachineLook& look);
    // Writes the creation time of the process `pid` into startTime on success.
    void readStartTime(std::int64_t& startTime);
    // Periodic check. `tick` is false for a check made because the process
    // exited or a restart came due: a server that died young then waits for
    // its back-off step (or, with the back-off off, for the next tick).
    // `running`: the held process, when it was just seen running (asked
    // together with others'), so it need not be asked again.
    void checkStatus(MachineLook& look, bool tick = true, const platform::ProcessHandle* running = nullptr);
    // The process held for it; null when none.
    platform::ProcessHandle* heldProcess() const { return run_.held.process.get(); }
    // Does what has come due outside the checks: the settle read and the
    // confirmation of a start, a stop under way, a pidfile awaited, the
    // clean-up of a group, a restart whose time has come.
    void followUp(MachineLook& look);

    // The follow-up of a launch, due 210 ms after it: the listen address
    // and start time of the settled server.
    void settle(MachineLook& look);
    // A start is confirmed once settled and alive for the confirmation time.
    void confirm();
    // Follows a stop under way: kills after the time-out, ends the stop once
    // the process (and its group) has gone.
    void followStop();
    // Looks for the PID a daemonizing server wrote into its pidfile.
    void followPidfile();
    // Follows the end of what was left of a process group.
    void followCleanup();
    // A restart attempt has come due between the ticks.
    bool restartDue() const;
    // The watched process has ended (the exit watcher said so).
    void watchEnded();

    // Holds the process an earlier run of the supervisor held for this
    // entry, when it still runs (same start, same boot), or the one its
    // pidfile names. True when one is held.
    bool readopt(const RememberedServer& record, bool sameBoot);
    // The operator stopped it when the supervisor last ran: it stays down.
    void keepDownFromLastRun();
    // What the state file keeps of this record.
    RememberedServer remembered() const;

    // Takes over the observed state of a record of the same server, across
    // a reload of the list: the whole run state moves.
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
    // The check the rule would run now; false (and why in `why`) when there
    // is nothing to check.
    bool healthCheckNow(HealthCheck& check, std::string& why) const;
    // A check's result: the counts, the verdict and what follows from it
    // (an alert, a restart).
    void healthResult(const HealthCheckResult& result);
    // The ticket of the check the record awaits; 0: none.
    std::uint64_t healthTicket() const { return run_.health.ticket(); }
    // The operator wants a verdict now: the next check of the rule is due
    // at once (unless one is under way already).
    bool checkHealthSoon();
    // The verdict after the check that saw `last`, for the operator:
    // "healthy: HTTP 200 from /healthz", "unhealthy: RSS 27 MB > 1 MB for 6
    // checks", "checking: connection refused (1 of 3 failed checks in a row)".
    std::string healthVerdict(const HealthCheckResult& last) const;

    // --- The lifecycle ---
    // The one place the state changes: logs the transition, raises its
    // alert and tells the observers. A transition the table does not have
    // is logged as an error and not made.
    void enter(ServerState next, Cause cause);
    // The state a server with no process goes to: down with auto-start on
    // is failing, or backing off; otherwise stopped.
    ServerState downState() const;
    // Tells the observers what the record shows now.
    void shown() const;
    // The alert of a confirmed start: "started successfully".
    void announceStart();
    // `withOutput`: the alert is about the end of the last process, whose
    // output it points to (always so for ServerDown and BackoffMax).
    void raise(AlertKind kind, std::string message, std::int32_t pid = 0, std::string reason = {},
               bool withOutput = false);

    struct PendingStop {
        StopEscalation escalation;
        bool killAsked = false;  // the operator's kill, not the time-out
        StopFor why = StopFor::Operator;
        std::vector<std::function<void(bool)>> done;
    };

    // A launched process that exited with code 0 has handed over to the
    // daemon it started; its PID comes from the pidfile.
    struct PidfileWait {
        Clock::TimePoint until;  // gives up then
        Clock::TimePoint nextLook;
        Clock::TimePoint launchedAt;
        int launchedPid = 0;
        std::uint64_t launchIdentity = 0;  // the daemon started no earlier than this
        LastExit handover;                 // how the launched process ended (code 0)
        std::string capturedIn;            // the daemon inherited the launch's output file
        int outputWriter = 0;              // ... and the writer of that file
    };

    // The rest of the process group of a process that has ended, being ended
    // before the server is started again.
    struct Cleanup {
        std::unique_ptr<platform::ProcessHandle> leader;  // reaches the group by its ID
        int members = 0;                                  // left when it began
        StopEscalation escalation;
    };

    // The process held, and what is known of it.
    struct Held {
        std::unique_ptr<platform::ProcessHandle> process;
        bool owned = false;          // launched by a supervisor
        bool byThisRun = false;      // ... by this one (directly, or through its pidfile)
        int group = 0;               // its process group, which goes with it; 0: none
        bool groupWanted = false;    // the group may be ended with the process, once it leads one
        std::uint64_t identity = 0;  // platform::processIdentity of the process held
        std::uint64_t watchId = 0;
        Clock::TimePoint runningSince{};
        std::string capturedIn;  // the file it writes its output to
        int outputWriter = 0;    // the process that writes it there for it; 0: it writes itself
        // The last moment a check saw it alive: where nothing told when it
        // ended, it lived at least until then.
        Clock::TimePoint seenAliveAt{};
        std::optional<Clock::TimePoint> endedAt;  // when the exit watcher saw it end
        // The descendant whose listening socket is the server's (a worker),
        // where the process itself holds none; 0: none known.
        int listenHolder = 0;
        std::uint64_t listenLooks = 0;
        std::optional<std::uint64_t> walkedAtArrivals;  // the listener arrivals at its last walk
        // Its listen address as last looked up, and the listener changes
        // (ListenerSnapshot::changes) of that look.
        std::string listenAnswer;
        std::optional<std::uint64_t> listenAnsweredAt;
        bool fromPidfile = false;  // the server's pidfile names it
    };

    struct Counts {
        std::uint64_t launches = 0;
        std::uint64_t restarts = 0;
        std::uint64_t exitsByCode = 0;
        std::uint64_t exitsBySignal = 0;
    };

    // Everything observed of the server, as opposed to its configuration:
    // it moves whole to the record that replaces this one across a reload.
    struct RunState {
        ServerInfo info;  // the texts are the configuration's; pid, ports and start time are observed
        ServerLifecycle life;
        bool autoStart = true;
        Held held;
        std::optional<Clock::TimePoint> settleAt;   // the settle read of a launch
        std::optional<Clock::TimePoint> confirmAt;  // when the launched process counts as started
        bool announced = false;                     // its start was told at once (no confirmation time)
        bool restartLaunch = false;                 // the process held was launched after the server had run once
        bool everHeld = false;                      // the record has held a process
        std::optional<PendingStop> stop;
        std::optional<PidfileWait> pidfileWait;
        std::optional<Cleanup> cleanup;
        Counts counts;
        std::optional<LastExit> lastExit;
        std::string startError;
        RestartBackoff backoff;
        Clock::TimePoint lastStartedAt{};  // of the last process held
        // A failure was alerted: a Recovered alert follows once it runs again.
        bool recoveryOwed = false;
        // The address it was last seen listening on: where a copy that
        // fails may find another holding it.
        std::string lastListen;
        HealthTracker health;
        // What was last wrong with the pidfile ("is a FIFO"), logged once.
        std::string pidfileProblem;
        // The process last refused as not the server's, logged once.
        int refusedPid = 0;
    };

    // `owned`: launched by a supervisor (this one or an earlier one);
    // `withGroup`: its process group goes with it; `seenAlive`: it is seen
    // running now (found or taken over, not just launched).
    void hold(std::unique_ptr<platform::ProcessHandle> process, Clock::TimePoint runningSince, bool owned,
              bool withGroup, bool seenAlive);
    void release();
    // The held process has ended: how, the log line, the clean-up of its
    // group, the transition and, for a process that ran long enough, the
    // restart at once.
    void noteEnd(MachineLook* look = nullptr);
    // Another process of the server's program holding its port ("another
    // copy seems to run: pid 4711 holds 0.0.0.0:6379"); empty when none.
    std::string otherCopy(MachineLook& look) const;
    // Keeps the exit and counts it.
    void recordExit(const LastExit& exit);
    // A start failed (the launch, or a process that died young), which
    // the back-off has counted: the alert of its maximum when it got there.
    void reportMaximum(const RestartBackoff::Step& step);
    // Starts ending what is left of the leader's group, if anything is.
    void beginCleanup(std::unique_ptr<platform::ProcessHandle> leader);
    // The process named by the pidfile, when it runs, started no earlier
    // than `notBefore` (its identity) and is the server's own (see
    // refusalOf; `launchedPid` 0: the launch is an earlier run's, whose
    // tree is not known, and the process must run the server's program);
    // null otherwise.
    std::unique_ptr<platform::ProcessHandle> daemonFromPidfile(std::uint64_t notBefore, int launchedPid);
    std::string pidfilePath() const;
    // The process ID the pidfile names now; 0 when it names none. The file
    // is read without waiting and only when small and regular; what is
    // wrong with it is logged once, not at every look.
    int pidNamedByPidfile();
    // Why the process `pid`, named by a file the server controls, is not
    // the server's; empty when it is. It must run as the server's user
    // and, when `launchedPid` is given, descend from that launch (whose
    // identity is `launchIdentity`) or have been left to this supervisor
    // as an orphan.
    std::string refusalOf(int pid, int launchedPid, std::uint64_t launchIdentity);
    // Logs a refusal once for each process refused in a row.
    void reportRefusal(int pid, const std::string& source, const std::string& why);
    // The account the server's processes run as (platform::accountOf of its
    // `user`), looked up once for each value of the option.
    const std::string& serverAccount();
    // The moment of the next start attempt outside the ticks, if any.
    std::optional<Clock::TimePoint> attemptDue() const;
    bool waitingForAttempt() const;
    // The launch slice of the current call is used up (see SupervisionOptions).
    bool launchSliceSpent() const;
    void putOffLaunch();
    platform::LaunchRequest launchRequest() const;
    void finishStop(bool ok);
    // How long a stop waits for the process to end by itself, and what asks it.
    Clock::Duration stopTimeout() const;
    platform::StopSignal stopSignal() const;
    bool groupGone();
    void touched() { context_->stateChanged = true; }
    // Procward's own line in the output file of the process held.
    void note(const std::string& text) const;

    SupervisionContext* context_;
    ServerOptions options_;
    std::string outputFile_;
    mutable RecordView told_;
    RunState run_;
    // serverAccount's result and the `user` it is for.
    std::optional<std::string> accountFor_;
    std::string account_;
};
