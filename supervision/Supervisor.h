#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "config/ServerEntry.h"
#include "platform/ExitWatcher.h"
#include "platform/ProcessControl.h"
#include "platform/ProcessTable.h"
#include "platform/TcpTable.h"
#include "supervision/Clock.h"
#include "supervision/MonitoredServer.h"
#include "supervision/SupervisionOptions.h"
#include "supervision/SupervisorObserver.h"

// The one loop of supervision. It owns the records, in index order, and
// checks them: every check interval, as soon as a watched process exits,
// and on the operator's commands. The window and the window-less mode drive
// it from their own thread: they call runDue when nextDue has come, or when
// the exit watcher woke them. Nothing in it ever waits.
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

    void setObserver(SupervisorObserver* observer) { observer_ = observer; }
    // Observers besides the one set above (the control server, the
    // metrics), told the same things after it.
    void addObserver(SupervisorObserver* observer);
    void removeObserver(SupervisorObserver* observer);

    // Takes the list as the file holds it. An entry whose name, processname
    // and commandline are all unchanged keeps its record's observed state
    // and auto-start mode; every other entry gets a new record, whose first
    // check runs at once (and starts the server unless it runs). The next
    // tick is due one check interval after the first load.
    void load(const std::vector<ServerEntry>& entries);

    // When runDue next has something to do.
    Clock::TimePoint nextDue() const;
    // Does what is due: the tick, settle reads, stops under way, checks of
    // servers whose process has exited.
    void runDue();
    // One check of every record, in index order.
    void checkAll();

    // The operator's commands, as the window's buttons mean them.
    bool start(std::int32_t index);
    // `done` is called once the process has gone (true) or could not be
    // ended (false); at once when there was nothing to stop.
    StopOutcome stop(std::int32_t index, bool keepAutoStart, std::function<void(bool)> done = {});
    // Stops every server; `allDone` once each stop has ended.
    void stopAll(bool keepAutoStart, std::function<void()> allDone = {});
    void startAll();
    // Checks one server now.
    void checkNow(std::int32_t index);

    const std::map<std::int32_t, std::unique_ptr<MonitoredServer>>& servers() const { return servers_; }
    MonitoredServer* find(std::int32_t index);
    // The number of records (the window sizes itself by it).
    std::int32_t liveServerCount() const { return static_cast<std::int32_t>(servers_.size()); }
    std::int32_t runningCount() const;

    const SupervisionOptions& options() const { return context_.options; }
    // New stop and back-off settings from the operator. They count from the
    // next stop and the next failure; a stop or a wait under way keeps the
    // times it was given. The check interval is not changed while running.
    void setStopPolicy(std::chrono::milliseconds stopTimeout, std::chrono::milliseconds restartBackoffMax);
    // Check passes run, and how many of them had to walk the process table.
    std::uint64_t passes() const { return passes_; }
    std::uint64_t processWalks() const { return processWalks_; }
    // How long the last check pass took, in real time.
    std::chrono::nanoseconds lastPassDuration() const { return lastPassDuration_; }

private:
    void changed(const MonitoredServer& server);
    void runCompletions();
    void handleExits();
    MonitoredServer* byWatchId(std::uint64_t id);

    SupervisionContext context_;
    std::unique_ptr<platform::ExitWatcher> watcher_;
    std::map<std::int32_t, std::unique_ptr<MonitoredServer>> servers_;
    SupervisorObserver* observer_ = nullptr;
    std::vector<SupervisorObserver*> moreObservers_;
    bool loaded_ = false;
    Clock::TimePoint nextTick_{};
    std::uint64_t passes_ = 0;
    std::uint64_t processWalks_ = 0;
    std::chrono::nanoseconds lastPassDuration_{0};
};
