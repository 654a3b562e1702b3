#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "config/ServerEntry.h"
#include "platform/ExitWatcher.h"
#include "platform/ProcessControl.h"
#include "platform/ProcessTable.h"
#include "platform/TcpTable.h"
#include "supervision/AlertSink.h"
#include "supervision/Clock.h"
#include "supervision/CommandResult.h"
#include "supervision/EntryCheck.h"
#include "supervision/EntryStore.h"
#include "supervision/HealthCheckPool.h"
#include "supervision/ListChange.h"
#include "supervision/LoopThread.h"
#include "supervision/MonitoredServer.h"
#include "supervision/StateStore.h"
#include "supervision/SupervisionOptions.h"
#include "supervision/SupervisorObserver.h"

// The one loop of supervision. It owns the records, in index order, and
// checks them: every check interval, as soon as a watched process exits,
// and on the operator's commands. The window and the window-less mode drive
// it from their own thread: they call runDue when nextDue has come, or when
// the exit watcher woke them. Nothing in it ever waits.
//
// The operator's commands mean the same whoever gives them (the window's
// buttons, ctl): each tells every observer what it changed and ends through
// its callback, once what it waits for (a process to end) has happened.
class MachineLook;

class Supervisor {
public:
    Supervisor(Clock& clock, platform::ProcessControl& control, SupervisionOptions options,
               platform::ProcessTable& table = platform::processTable(),
               platform::TcpTable& tcp = platform::tcpTable());
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // Starts the exit watcher. `wake` is called from the watcher's thread
    // and must only get the driving thread to call runDue. False (the timer
    // alone then notices exits) where processes cannot be watched.
    bool watchExits(std::function<void()> wake);
    // How the health checks' results get the driving thread to call
    // runDue (watchExits sets it too). Called from a worker thread.
    void setWake(std::function<void()> wake);

    // Those told what changed, in the order they were added.
    void addObserver(SupervisorObserver* observer);
    void removeObserver(SupervisorObserver* observer);
    // Where alerts go, in the order they were added.
    void addAlertSink(AlertSink* sink);
    void removeAlertSink(AlertSink* sink);
    // The server list that add, remove, replace and removeAll edit.
    void setEntryStore(EntryStore* store) { store_ = store; }
    // Where the processes held and the operator's stops are remembered
    // across restarts of the supervisor: read at the first load, written
    // whenever they change. Set before the first load.
    void setStateStore(StateStore* store) { stateStore_ = store; }

    // Takes the list as the file holds it, as the window's own changes are
    // applied. Each entry is paired with the record it was (by its name,
    // else by its program and command line). A paired entry keeps its
    // record's process, state and counts; when what it launches, how it is
    // stopped or how it is found changed, its process is stopped (its own
    // stop signal and time-out) and the new definition started once it has
    // gone. A new entry is checked at once (and started unless it runs); a
    // removed entry's process is stopped as a delete stops it. At the first
    // load a new record first takes over the process the state store
    // remembers for its entry, when that still runs. The next tick is due
    // one check interval after the first load. Returns what changed.
    ListChange load(const std::vector<ServerEntry>& entries);
    // What load would change, without changing anything.
    ListChange plan(const std::vector<ServerEntry>& entries) const;
    // Reads the entry store and loads what it holds.
    void reload();

    // When runDue next has something to do.
    Clock::TimePoint nextDue() const;
    // Does what is due: the tick, settle reads, stops under way, pidfiles
    // and group clean-ups awaited, restarts whose back-off step has come,
    // checks of servers whose process has exited. Ended children are
    // collected first, so their exit statuses are there to be read.
    void runDue();
    // One check of every record, in index order.
    void checkAll();

    // --- The operator's commands ---
    // Starts the server now, its back-off forgotten, and turns auto-start
    // on. Refused while it is on its way down.
    void start(std::int32_t index, CommandDone done = {});
    // Stops the server and keeps it down: auto-start goes off, also for a
    // server that is down already. Done once the process has gone.
    void stop(std::int32_t index, CommandDone done = {});
    // Stops the server with auto-start kept on and starts it again as soon
    // as the process has gone, its back-off forgotten. A server that is
    // down is started.
    void restart(std::int32_t index, CommandDone done = {});
    // Ends the server's process at once (SIGKILL to its group), also while a
    // stop of it is under way and still waiting for its time-out, and keeps
    // the server down (auto-start off), as stop does. Done once the process
    // has gone; every command that waited for that stop hears of it then.
    void kill(std::int32_t index, CommandDone done = {});
    // Starts every server that is not running (as start does); done at
    // once, with the names of those that are still down.
    void startAll(CommandDone done = {});
    // Stops every server and keeps all of them down, including those down
    // already; done once every stop has ended, with the names of those
    // still running.
    void stopAll(CommandDone done = {});
    // Runs the server's health rule now, for the operator, as its next
    // check: `done` gets the verdict once the check has come back ("gs1:
    // healthy: HTTP 200 from /healthz", "fat: unhealthy: RSS 27 MB > 1 MB
    // for 6 checks"), the same verdict every view shows, and whether it is
    // other than unhealthy.
    using HealthCheckDone = std::function<void(bool passed, const std::string& text)>;
    void checkHealth(std::int32_t index, HealthCheckDone done);
    // Health checks made so far, and the threads that ran them.
    std::uint64_t healthChecks() const { return healthChecks_; }
    std::size_t healthThreads() const { return health_.threads(); }
    // Network looks of health checks under way (tests).
    std::size_t healthLooksUnderWay() const { return health_.looksUnderWay(); }

    // Turns the auto-start mode of one server on or off without starting or
    // stopping anything.
    void setAutoStart(std::int32_t index, bool on);
    // Sends a signal to the server's process, or to its process group
    // (`group`, for a server launched here); nothing else changes. Done at
    // once: NotRunning when it has no process.
    void signal(std::int32_t index, platform::StopSignal kind, bool group, CommandDone done = {});

    // Whether an entry may join the list (or replace the one at
    // `replacing`): a name, a file name and a command line, neither name
    // nor command line used by another entry (ASCII letter case ignored).
    // The texts are checked as they will be stored, trimmed.
    EntryCheck checkEntry(const std::string& name, const std::string& processname, const std::string& commandline,
                          std::int32_t replacing = 0) const;

    // --- Changes of the list (through the entry store) ---
    // Each writes the list and loads it again. Records of unchanged entries
    // keep their state across that; a new or changed entry gets a new
    // record, whose first check starts it.
    void add(ServerEntry entry, CommandDone done = {});
    // Stops the server (auto-start off); once its process has gone, its
    // entry is removed from the list.
    void remove(std::int32_t index, CommandDone done = {});
    // Gives the entry new texts, as the operator typed them (blanks around
    // them are dropped when they are stored). A command line that differs,
    // as typed, from the one in force first stops the running process, with
    // auto-start kept on, so that the new one starts once the old has gone.
    // With `health` the entry's health rule changes too, in the same write;
    // the record takes the new rule when the list is loaded again, without
    // a restart.
    void replace(std::int32_t index, ServerEntry entry, CommandDone done = {},
                 std::optional<HealthCheckEdit> health = std::nullopt);
    // Stops every server, then empties the list.
    void removeAll(CommandDone done = {});

    const std::map<std::int32_t, std::unique_ptr<MonitoredServer>>& servers() const { return servers_; }
    // The same records, in the same (index) order, as a list.
    const std::vector<MonitoredServer*>& records() const { return records_; }
    const MonitoredServer* find(std::int32_t index) const;
    // The number of records (the window sizes itself by it).
    std::int32_t liveServerCount() const { return static_cast<std::int32_t>(servers_.size()); }
    std::int32_t runningCount() const;

    const SupervisionOptions& options() const { return context_.options; }
    // New settings from the operator: the stop time-out and the back-off
    // maximum are taken and count from the next stop and the next failure;
    // a stop or a wait under way keeps the times it was given. The check
    // interval and the watching of exits stay as they were at the start.
    void changeOptions(const SupervisionOptions& options);
    // A new check interval (a reload of the settings): the next tick comes
    // one new interval from now, unless the one planned comes sooner.
    void changeCheckInterval(std::chrono::milliseconds interval);
    // Check passes run, and how many of them had to walk the process table.
    std::uint64_t passes() const { return passes_; }
    std::uint64_t processWalks() const { return processWalks_; }
    // How long the last check pass took, in real time.
    std::chrono::nanoseconds lastPassDuration() const { return lastPassDuration_; }

private:
    // The pass with a look the caller shares, so one walk of the table serves
    // everything done in the same turn of the loop.
    void checkAll(MachineLook& look);
    // Tells the observers of the record, when what they show of it changed
    // since they were last told.
    void tell(const MonitoredServer& server);

    MonitoredServer* record(std::int32_t index);
    // The record each entry continues (null: a new entry), in the entries' order.
    std::vector<MonitoredServer*> pairing(const std::vector<ServerEntry>& entries) const;
    // What differs between a record and the entry that continues it, and
    // whether its process must be started anew for it.
    static ListChange::Changed differences(const MonitoredServer& record, const ServerEntry& entry);
    // Records of removed entries whose process is being stopped: followed
    // until it has gone, shown nowhere.
    std::vector<std::unique_ptr<MonitoredServer>> retiring_;
    bool retiringRecord(const MonitoredServer* server) const;
    // The index of the record with these texts now, preferring `index`; 0
    // when there is none (a command that waited finds its server again).
    std::int32_t indexOf(const ServerInfo& texts) const;
    void changed(const MonitoredServer& server);
    // Tells the observers when the command changed what they show.
    template <class Command>
    void notifying(MonitoredServer& server, Command command);
    // Answers the operator's health checks that waited for this record.
    void answerVerdict(const MonitoredServer& server, const HealthCheckResult& result);
    void listLoaded();
    // Stops every running server; `allDone` once each stop has ended. With
    // `keepDown`, servers that are down already get auto-start off too.
    void stopEvery(bool keepDown, std::function<void()> allDone);
    void runCompletions();
    void later(std::function<void()> call);
    void handleExits();
    // Writes what the state store keeps, when it has changed.
    void persist();
    MonitoredServer* byWatchId(std::uint64_t id);
    // Takes the results of the health checks that came back, and starts
    // those that are due.
    void handleHealth();
    // Cancels the checks under way that their servers no longer await
    // (stopped, removed or replaced meanwhile).
    void abandonChecks();
    // A change of the list written through the store, then loaded.
    void edit(CommandResult result, const std::function<bool(EntryStore&, std::string&)>& change,
              const CommandDone& done);

    SupervisionContext context_;
    std::unique_ptr<platform::ExitWatcher> watcher_;
    std::map<std::int32_t, std::unique_ptr<MonitoredServer>> servers_;
    // servers_ as a list, for the walks of every pass.
    std::vector<MonitoredServer*> records_;
    std::vector<SupervisorObserver*> observers_;
    EntryStore* store_ = nullptr;
    StateStore* stateStore_ = nullptr;
    std::vector<RememberedServer> persisted_;
    bool loaded_ = false;
    Clock::TimePoint nextTick_{};
    std::uint64_t passes_ = 0;
    // A pass's held processes and which of them still run (kept, so a pass
    // allocates nothing).
    std::size_t healthRuled_ = 0;  // records with a health rule, counted at each load
    std::vector<platform::ProcessHandle*> heldNow_;
    std::vector<char> runningNow_;
    std::uint64_t processWalks_ = 0;
    std::chrono::nanoseconds lastPassDuration_{0};
    HealthCheckPool health_;
    std::uint64_t healthChecks_ = 0;
    // The rules' checks under way: ticket -> the index of their server.
    std::map<std::uint64_t, std::int32_t> checksOut_;
    // The operator's checks, waiting for the next verdict of their record.
    std::unordered_map<const MonitoredServer*, std::vector<HealthCheckDone>> verdictWaiters_;
    // While a list is loaded nothing is told (the observers hear of the
    // whole list).
    bool quiet_ = false;
    // The last version given to a record's view.
    std::uint64_t viewVersions_ = 0;
    LoopThread loop_;
};
