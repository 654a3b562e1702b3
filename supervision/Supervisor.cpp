#include "supervision/Supervisor.h"

#include <algorithm>
#include <optional>

#include "log/AppLogger.h"
#include "platform/ProcessIdentity.h"
#include "platform/Text.h"
#include "supervision/MachineLook.h"
#include "supervision/ServerOutputFile.h"

namespace {

SupervisionOptions sane(SupervisionOptions options) {
    // A shorter period would spin: the settings file's reader warns about it.
    if (options.checkInterval < std::chrono::seconds(1)) options.checkInterval = std::chrono::seconds(1);
    if (options.stopTimeout.count() < 0) options.stopTimeout = std::chrono::milliseconds(0);
    if (options.restartBackoffMax.count() < 0) options.restartBackoffMax = std::chrono::milliseconds(0);
    return options;
}

bool sameEntry(const ServerInfo& info, const ServerEntry& entry) {
    return info.name == entry.name && info.processname == entry.processname && info.commandline == entry.commandline;
}

bool sameEntry(const RememberedServer& record, const ServerEntry& entry) {
    return record.name == entry.name && record.processname == entry.processname &&
           record.commandline == entry.commandline;
}

bool sameTexts(const ServerInfo& a, const ServerInfo& b) {
    return a.name == b.name && a.processname == b.processname && a.commandline == b.commandline;
}

// What observers show of a record: a command that leaves all of it as it
// was has nothing to tell.
struct Shown {
    std::int32_t pid = 0;
    std::string ports;
    std::int64_t startTime = 0;
    bool autoStart = false;
    bool stopping = false;
    std::optional<Clock::TimePoint> nextRestart;
    ServerState state = ServerState::Stopped;
    HealthState health = HealthState::None;
    std::string healthReason;

    bool operator==(const Shown&) const = default;
};

Shown shownOf(const MonitoredServer& server) {
    return Shown{server.info().pid, server.info().ports, server.info().startTime, server.autoStart(),
                 server.stopping(),  server.nextRestart(), server.state(),     server.health(),
                 server.healthReason()};
}

ServerEntry trimmed(const ServerEntry& entry) {
    return ServerEntry{entry.index, platform::trimWhite(entry.name), platform::trimWhite(entry.processname),
                       platform::trimWhite(entry.commandline), entry.options};
}

}  // namespace

Supervisor::Supervisor(Clock& clock, platform::ProcessControl& control, SupervisionOptions options,
                       platform::ProcessTable& table, platform::TcpTable& tcp)
    : context_{clock, control, table, tcp, sane(options)}, health_(control) {}

Supervisor::~Supervisor() {
    health_.setWake({});
    servers_.clear();
    // Callbacks owed by stops that ended with their records are not made:
    // whoever waited is going too.
    context_.completions.clear();
    if (watcher_) watcher_->stop();
}

void Supervisor::changeOptions(const SupervisionOptions& options) {
    SupervisionOptions next = context_.options;
    next.stopTimeout = options.stopTimeout;
    next.restartBackoffMax = options.restartBackoffMax;
    context_.options = sane(next);
}

void Supervisor::changeCheckInterval(std::chrono::milliseconds interval) {
    SupervisionOptions next = context_.options;
    next.checkInterval = interval;
    next = sane(next);
    if (next.checkInterval == context_.options.checkInterval) return;
    context_.options.checkInterval = next.checkInterval;
    if (loaded_) nextTick_ = std::min(nextTick_, context_.clock.now() + next.checkInterval);
}

void Supervisor::setWake(std::function<void()> wake) { health_.setWake(std::move(wake)); }

bool Supervisor::watchExits(std::function<void()> wake) {
    setWake(wake);
    if (!context_.options.restartOnExit) return false;
    if (!watcher_) watcher_ = platform::makeExitWatcher();
    if (!watcher_->start(std::move(wake))) {
        watcher_.reset();
        return false;
    }
    context_.watcher = watcher_.get();
    return true;
}

void Supervisor::addObserver(SupervisorObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void Supervisor::removeObserver(SupervisorObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void Supervisor::addAlertSink(AlertSink* sink) {
    auto& sinks = context_.alertSinks;
    if (sink && std::find(sinks.begin(), sinks.end(), sink) == sinks.end()) sinks.push_back(sink);
}

void Supervisor::removeAlertSink(AlertSink* sink) {
    auto& sinks = context_.alertSinks;
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
}

void Supervisor::changed(const MonitoredServer& server) {
    const std::vector<SupervisorObserver*> observers = observers_;
    for (SupervisorObserver* observer : observers) observer->serverChanged(server);
}

void Supervisor::listLoaded() {
    const std::vector<SupervisorObserver*> observers = observers_;
    for (SupervisorObserver* observer : observers) observer->listLoaded();
}

template <class Command>
void Supervisor::notifying(MonitoredServer& server, Command command) {
    const Shown before = shownOf(server);
    command();
    if (!(shownOf(server) == before)) changed(server);
}

void Supervisor::later(std::function<void()> call) { context_.completions.push_back(std::move(call)); }

void Supervisor::runCompletions() {
    // Each call may change the list, and with it add further calls.
    while (!context_.completions.empty()) {
        std::vector<std::function<void()>> due;
        due.swap(context_.completions);
        for (auto& call : due) call();
    }
    abandonChecks();
    persist();
}

void Supervisor::persist() {
    // Nothing is written before the first load has read what the last run
    // left: that would be lost.
    if (!stateStore_ || !loaded_ || !context_.stateChanged) return;
    context_.stateChanged = false;
    std::vector<RememberedServer> records;
    records.reserve(servers_.size());
    for (const auto& [index, server] : servers_) records.push_back(server->remembered());
    if (records == persisted_) return;
    persisted_ = records;
    stateStore_->write(std::move(records));
}

namespace {

// Opens the launch slice of one call of the supervisor, unless a call that
// is already running (a check pass from runDue) has opened it.
class LaunchSlice {
public:
    explicit LaunchSlice(SupervisionContext& context) : context_(context) {
        if (context.options.launchSlice.count() <= 0 || context.launchesUntil) return;
        context.launchesUntil = std::chrono::steady_clock::now() + context.options.launchSlice;
        context.launchesThisCall = 0;
        owner_ = true;
    }
    ~LaunchSlice() {
        if (owner_) context_.launchesUntil.reset();
    }
    LaunchSlice(const LaunchSlice&) = delete;
    LaunchSlice& operator=(const LaunchSlice&) = delete;

private:
    SupervisionContext& context_;
    bool owner_ = false;
};

}  // namespace

void Supervisor::load(const std::vector<ServerEntry>& entries) {
    const LaunchSlice slice(context_);
    // What the last run of the supervisor held, read once, at the start.
    std::vector<RememberedServer> remembered;
    bool sameBoot = false;
    if (!loaded_ && stateStore_) {
        std::string boot;
        remembered = stateStore_->read(boot);
        sameBoot = !remembered.empty() && boot == platform::bootId();
    }
    std::map<std::int32_t, std::unique_ptr<MonitoredServer>> previous = std::move(servers_);
    servers_.clear();
    std::vector<MonitoredServer*> fresh;
    const std::map<std::int32_t, std::string> outputFiles =
        ServerOutputFile::pathsFor(context_.options.outputDirectory, entries);
    for (const ServerEntry& entry : entries) {
        auto server = std::make_unique<MonitoredServer>(context_);
        auto kept = std::find_if(previous.begin(), previous.end(),
                                 [&](const auto& item) { return item.second && sameEntry(item.second->info(), entry); });
        const bool isKept = kept != previous.end();
        if (isKept) {
            server->takeRunStateFrom(*kept->second);
            previous.erase(kept);
        } else {
            fresh.push_back(server.get());
        }
        const auto outputFile = outputFiles.find(entry.index);
        server->configure(entry, outputFile == outputFiles.end() ? std::string() : outputFile->second);
        if (!isKept) {
            // Each record of the state file serves one entry.
            auto record = std::find_if(remembered.begin(), remembered.end(),
                                       [&](const RememberedServer& r) { return sameEntry(r, entry); });
            if (record != remembered.end()) {
                server->readopt(*record, sameBoot);
                if (record->stopped && context_.options.rememberStopped) {
                    server->autoStart_ = false;
                    AppLogger::Instance().get().info(
                        "{} stays down: it was stopped when Procward last ran (REMEMBER_STOPPED=1)", entry.name);
                }
                remembered.erase(record);
            }
        }
        servers_[entry.index] = std::move(server);
    }
    previous.clear();
    // The first check of a new record starts its server unless it runs.
    MachineLook look(context_.table, context_.tcp);
    for (MonitoredServer* server : fresh) server->checkStatus(look);
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
    if (!loaded_) {
        loaded_ = true;
        nextTick_ = context_.clock.now() + context_.options.checkInterval;
    }
    // Entries that came or went change what the state file keeps.
    context_.stateChanged = true;
    listLoaded();
    runCompletions();
}

void Supervisor::reload() {
    if (store_) load(store_->read());
}

Clock::TimePoint Supervisor::nextDue() const {
    Clock::TimePoint due = loaded_ ? nextTick_ : Clock::TimePoint::max();
    for (const auto& [index, server] : servers_)
        if (const auto next = server->nextDue(); next && *next < due) due = *next;
    return due;
}

MonitoredServer* Supervisor::byWatchId(std::uint64_t id) {
    for (auto& [index, server] : servers_)
        if (server->watchId() == id) return server.get();
    return nullptr;
}

void Supervisor::handleExits() {
    if (!watcher_) return;
    std::vector<std::uint64_t> ended;
    watcher_->takeExited(ended);
    if (ended.empty()) return;
    MachineLook look(context_.table, context_.tcp);
    for (const std::uint64_t id : ended) {
        MonitoredServer* server = byWatchId(id);
        if (!server) continue;  // a process no record holds any more
        server->watchEnded();
        if (server->stopping()) {
            if (server->followStop()) changed(*server);
            continue;
        }
        // The end is told at once, whether or not the restart waits: a
        // server that dies sooner than one interval after it started waits
        // for its back-off step (with the back-off off, for the tick).
        if (server->checkStatus(look, false)) changed(*server);
    }
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
}

void Supervisor::handleHealth() {
    std::vector<std::pair<std::uint64_t, HealthCheckResult>> results;
    health_.take(results);
    for (const auto& [ticket, result] : results) {
        ++healthChecks_;
        const auto out = checksOut_.find(ticket);
        const std::int32_t index = out == checksOut_.end() ? 0 : out->second;
        if (out != checksOut_.end()) checksOut_.erase(out);
        if (const auto asked = askedChecks_.find(ticket); asked != askedChecks_.end()) {
            const auto [name, done] = std::move(asked->second);
            askedChecks_.erase(asked);
            std::string text = result.seen;
            bool passed = !result.probed || result.healthy;
            if (result.residentBytes) {
                const auto mb = static_cast<long long>(static_cast<double>(*result.residentBytes) / 1048576.0 + 0.5);
                text += (text.empty() ? "" : ", ") + std::string("RSS ") + std::to_string(mb) + " MB";
            } else if (!result.probed) {
                text = "its memory could not be read";
                passed = false;
            }
            if (done) done(passed, name + ": " + (passed ? "healthy: " : "unhealthy: ") + text);
            continue;
        }
        // The server may have stopped, gone or been replaced meanwhile: then
        // nobody awaits this ticket and what it saw is dropped.
        MonitoredServer* server = index ? record(index) : nullptr;
        if (!server || server->healthTicket() != ticket) continue;
        notifying(*server, [&] { server->healthResult(result); });
    }
    bool due = false;
    for (auto& [index, server] : servers_)
        if ((due = server->healthDue())) break;
    if (!due) return;
    std::vector<std::pair<std::uint64_t, HealthCheck>> checks;
    for (auto& [index, server] : servers_) {
        if (!server->healthDue(true)) continue;
        std::uint64_t ticket = 0;
        HealthCheck check = server->beginHealthCheck(ticket);
        checksOut_[ticket] = index;
        checks.emplace_back(ticket, std::move(check));
    }
    health_.submit(std::move(checks));
}

void Supervisor::abandonChecks() {
    for (auto it = checksOut_.begin(); it != checksOut_.end();) {
        const MonitoredServer* server = record(it->second);
        if (server && server->healthTicket() == it->first) {
            ++it;
            continue;
        }
        // Its connection is closed now rather than at the end of its
        // time-out: a server on its way out owes it no answer.
        health_.cancel(it->first);
        it = checksOut_.erase(it);
    }
}

void Supervisor::checkHealth(std::int32_t index, HealthCheckDone done) {
    MonitoredServer* server = record(index);
    HealthCheck check;
    std::string why;
    if (!server) {
        if (done) later([done] { done(false, "no such server"); });
    } else if (!server->healthCheckNow(check, why)) {
        if (done) later([done, why] { done(false, why); });
    } else {
        const std::uint64_t ticket = ++context_.lastHealthTicket;
        askedChecks_[ticket] = {server->info().name, std::move(done)};
        health_.submit(ticket, std::move(check));
    }
    runCompletions();
}

void Supervisor::runDue() {
    const LaunchSlice slice(context_);
    // Ended children first: their exit statuses are then there to be read,
    // and orphans of servers do not linger as zombies.
    context_.control.reapChildren();
    handleExits();
    handleHealth();
    // What waited for a stop goes first: a check must not restart a server
    // whose entry is about to change or go.
    runCompletions();
    const Clock::TimePoint now = context_.clock.now();
    MachineLook look(context_.table, context_.tcp);
    for (auto& [index, server] : servers_) {
        const auto due = server->nextDue();
        if (!due || *due > now) continue;
        bool rowChanged = false;
        if (server->stopping()) rowChanged = server->followStop();
        rowChanged = server->followPidfile() || rowChanged;
        rowChanged = server->settle(look) || rowChanged;
        rowChanged = server->followCleanup() || rowChanged;
        if (server->restartDue()) rowChanged = server->checkStatus(look, false) || rowChanged;
        if (rowChanged) changed(*server);
    }
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
    runCompletions();
    if (loaded_ && now >= nextTick_) {
        checkAll();
        nextTick_ += context_.options.checkInterval;
        // After a stall (a suspended machine, a debugger) the next tick
        // counts from now instead of catching up.
        if (nextTick_ <= now) nextTick_ = now + context_.options.checkInterval;
    }
    runCompletions();
    // Checks that came due through what ran above (a start's grace may be 0).
    handleHealth();
}

void Supervisor::checkAll() {
    const LaunchSlice slice(context_);
    const auto began = std::chrono::steady_clock::now();
    context_.control.reapChildren();
    MachineLook look(context_.table, context_.tcp);
    for (auto& [index, server] : servers_)
        if (server->checkStatus(look)) changed(*server);
    ++passes_;
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
    lastPassDuration_ = std::chrono::steady_clock::now() - began;
    const std::vector<SupervisorObserver*> observers = observers_;
    for (SupervisorObserver* observer : observers) observer->passEnded();
    runCompletions();
}

const MonitoredServer* Supervisor::find(std::int32_t index) const {
    const auto found = servers_.find(index);
    return found == servers_.end() ? nullptr : found->second.get();
}

MonitoredServer* Supervisor::record(std::int32_t index) {
    const auto found = servers_.find(index);
    return found == servers_.end() ? nullptr : found->second.get();
}

std::int32_t Supervisor::indexOf(const ServerInfo& texts) const {
    if (const MonitoredServer* same = find(texts.index); same && sameTexts(same->info(), texts)) return texts.index;
    for (const auto& [index, server] : servers_)
        if (sameTexts(server->info(), texts)) return index;
    return 0;
}

std::int32_t Supervisor::runningCount() const {
    std::int32_t n = 0;
    for (const auto& [index, server] : servers_) n += server->info().pid > 0;
    return n;
}

void Supervisor::start(std::int32_t index, CommandDone done) {
    CommandResult result;
    result.index = index;
    result.status = CommandStatus::NoSuchServer;
    if (MonitoredServer* server = record(index)) {
        result.name = server->info().name;
        if (server->stopping()) {
            result.status = CommandStatus::Stopping;
        } else {
            const bool wasRunning = server->info().pid > 0;
            bool ok = false;
            notifying(*server, [&] {
                server->resetBackoff();  // the operator's start comes at once
                ok = server->start();
            });
            result.pid = server->info().pid;
            result.status = wasRunning ? CommandStatus::AlreadyRunning
                                       : ok ? CommandStatus::Done : CommandStatus::StartFailed;
        }
    }
    if (done) later([done = std::move(done), result] { done(result); });
    runCompletions();
}

void Supervisor::stop(std::int32_t index, CommandDone done) {
    CommandResult result;
    result.index = index;
    MonitoredServer* server = record(index);
    if (!server) {
        result.status = CommandStatus::NoSuchServer;
    } else if (server->info().pid == 0) {
        result.name = server->info().name;
        // Nothing to end, but the operator wants it down: no check may
        // start it again.
        notifying(*server, [&] { server->setAutoStart(false); });
        result.status = CommandStatus::NotRunning;
    } else {
        result.name = server->info().name;
        result.pid = server->info().pid;
        auto finished = [done, result](bool ok) mutable {
            result.status = ok ? CommandStatus::Done : CommandStatus::StopFailed;
            if (ok) result.pid = 0;
            if (done) done(result);
        };
        StopOutcome outcome = StopOutcome::NotRunning;
        notifying(*server, [&] { outcome = server->stop(false, finished); });
        if (outcome == StopOutcome::Failed) later([finished]() mutable { finished(false); });
        runCompletions();
        return;
    }
    if (done) later([done, result] { done(result); });
    runCompletions();
}

void Supervisor::kill(std::int32_t index, CommandDone done) {
    MonitoredServer* server = record(index);
    if (!server || server->info().pid == 0) {
        // Nothing to end: the same as a stop.
        stop(index, std::move(done));
        return;
    }
    CommandResult result;
    result.index = index;
    result.name = server->info().name;
    result.pid = server->info().pid;
    auto finished = [done, result](bool ok) mutable {
        result.status = ok ? CommandStatus::Done : CommandStatus::StopFailed;
        if (ok) result.pid = 0;
        if (done) done(result);
    };
    StopOutcome outcome = StopOutcome::NotRunning;
    notifying(*server, [&] {
        if (!server->stopping()) {
            // A stop with no time to end by itself kills at once.
            const auto timeout = context_.options.stopTimeout;
            context_.options.stopTimeout = std::chrono::milliseconds(0);
            outcome = server->stop(false, finished);
            context_.options.stopTimeout = timeout;
            return;
        }
        // The stop under way waits no longer for its time-out; the wait
        // for the killed process keeps its length.
        outcome = server->stop(false, finished);
        MonitoredServer::PendingStop& pending = *server->stop_;
        if (!pending.killed) {
            const Clock::TimePoint now = context_.clock.now();
            pending.giveUpAt = now + (pending.giveUpAt - pending.killAt);
            pending.killAt = now;
            pending.killAsked = true;
            server->followStop();
        }
    });
    if (outcome == StopOutcome::Failed) later([finished]() mutable { finished(false); });
    runCompletions();
}

void Supervisor::restart(std::int32_t index, CommandDone done) {
    CommandResult result;
    result.index = index;
    MonitoredServer* server = record(index);
    if (!server) {
        result.status = CommandStatus::NoSuchServer;
        if (done) later([done, result] { done(result); });
        runCompletions();
        return;
    }
    result.name = server->info().name;
    const ServerInfo texts = server->info();
    auto again = [this, texts, result, done](bool ok) mutable {
        if (!ok) {
            result.status = CommandStatus::StopFailed;
            result.pid = texts.pid;
        } else if (MonitoredServer* now = record(indexOf(texts))) {
            result.index = now->info().index;
            // A check at once, which finds it down with auto-start on and
            // starts it; the operator's restart comes now, back-off or not.
            notifying(*now, [&] {
                now->autoStart_ = true;
                now->touched();
                now->resetBackoff();
                MachineLook look(context_.table, context_.tcp);
                now->checkStatus(look);
                processWalks_ += static_cast<std::uint64_t>(look.processWalks());
            });
            result.pid = now->info().pid;
            result.status = result.pid > 0 ? CommandStatus::Done : CommandStatus::StartFailed;
        } else {
            result.status = CommandStatus::Gone;
        }
        if (done) done(result);
    };
    StopOutcome outcome = StopOutcome::NotRunning;
    notifying(*server, [&] { outcome = server->stop(true, again); });
    if (outcome == StopOutcome::NotRunning || outcome == StopOutcome::Failed)
        later([again, ok = outcome == StopOutcome::NotRunning]() mutable { again(ok); });
    runCompletions();
}

void Supervisor::startAll(CommandDone done) {
    for (auto& [index, server] : servers_) {
        MonitoredServer& one = *server;
        notifying(one, [&] {
            one.resetBackoff();
            one.start();
        });
    }
    CommandResult result;
    result.servers = servers_.size();
    for (const auto& [index, server] : servers_)
        if (server->info().pid <= 0) result.notDone.push_back(server->info().name);
    result.status = result.notDone.empty() ? CommandStatus::Done : CommandStatus::StartFailed;
    if (done) later([done, result] { done(result); });
    runCompletions();
}

void Supervisor::stopEvery(bool keepDown, std::function<void()> allDone) {
    auto pending = std::make_shared<std::size_t>(1);
    auto one = [pending, allDone = std::move(allDone)](bool) {
        if (--*pending == 0 && allDone) allDone();
    };
    for (auto& [index, server] : servers_) {
        MonitoredServer& each = *server;
        StopOutcome outcome = StopOutcome::NotRunning;
        ++*pending;
        notifying(each, [&] {
            if (each.info().pid == 0) {
                if (keepDown) each.setAutoStart(false);
            } else {
                outcome = each.stop(false, one);
            }
        });
        if (outcome == StopOutcome::NotRunning || outcome == StopOutcome::Failed) later([one] { one(false); });
    }
    later([one] { one(true); });
    runCompletions();
}

void Supervisor::stopAll(CommandDone done) {
    stopEvery(true, [this, done] {
        CommandResult result;
        result.servers = servers_.size();
        for (const auto& [index, server] : servers_)
            if (server->info().pid > 0) result.notDone.push_back(server->info().name);
        result.status = result.notDone.empty() ? CommandStatus::Done : CommandStatus::StopFailed;
        if (done) done(result);
    });
}

void Supervisor::setAutoStart(std::int32_t index, bool on) {
    if (MonitoredServer* server = record(index)) notifying(*server, [&] { server->setAutoStart(on); });
}

void Supervisor::edit(CommandResult result, const std::function<bool(EntryStore&, std::string&)>& change,
                      const CommandDone& done) {
    if (!store_) {
        result.status = CommandStatus::SaveFailed;
        result.error = "there is no server list to change";
    } else {
        std::string error;
        if (!change(*store_, error)) {
            result.status = CommandStatus::SaveFailed;
            result.error = error;
        }
        // Also after a failed write: the list then shows what the file holds.
        load(store_->read());
    }
    if (done) done(result);
}

void Supervisor::add(ServerEntry entry, CommandDone done) {
    const ServerEntry stored = trimmed(entry);
    CommandResult result;
    result.name = stored.name;
    edit(result, [&](EntryStore& store, std::string& error) { return store.add(stored, error); }, done);
    runCompletions();
}

void Supervisor::remove(std::int32_t index, CommandDone done) {
    CommandResult result;
    result.index = index;
    MonitoredServer* server = record(index);
    if (!server) {
        result.status = CommandStatus::NoSuchServer;
        if (done) later([done, result] { done(result); });
        runCompletions();
        return;
    }
    result.name = server->info().name;
    const ServerInfo texts = server->info();
    // The list is written once the process has gone, whether or not the
    // stop succeeded: the operator wants the entry gone.
    auto then = [this, texts, result, done](bool) mutable {
        const std::int32_t now = indexOf(texts);
        if (now == 0) {
            result.status = CommandStatus::Gone;
            if (done) done(result);
            return;
        }
        result.index = now;
        edit(result, [now](EntryStore& store, std::string& error) { return store.remove(now, error); }, done);
    };
    StopOutcome outcome = StopOutcome::NotRunning;
    if (server->info().pid != 0) notifying(*server, [&] { outcome = server->stop(false, then); });
    if (outcome == StopOutcome::NotRunning || outcome == StopOutcome::Failed) later([then]() mutable { then(true); });
    runCompletions();
}

void Supervisor::replace(std::int32_t index, ServerEntry entry, CommandDone done,
                         std::optional<HealthCheckEdit> health) {
    CommandResult result;
    result.index = index;
    MonitoredServer* server = record(index);
    if (!server) {
        result.status = CommandStatus::NoSuchServer;
        if (done) later([done, result] { done(result); });
        runCompletions();
        return;
    }
    result.name = server->info().name;
    const ServerInfo texts = server->info();
    const ServerEntry stored = trimmed(entry);
    auto then = [this, texts, stored, health, result, done](bool) mutable {
        const std::int32_t now = indexOf(texts);
        if (now == 0) {
            result.status = CommandStatus::Gone;
            if (done) done(result);
            return;
        }
        result.index = now;
        edit(result,
             [now, &stored, &health](EntryStore& store, std::string& error) {
                 return store.replace(now, stored, health, error);
             },
             done);
    };
    // A new command line: the old process ends first, and with auto-start
    // kept on the new one starts once the list is loaded again.
    StopOutcome outcome = StopOutcome::NotRunning;
    if (entry.commandline != texts.commandline && server->info().pid != 0)
        notifying(*server, [&] { outcome = server->stop(true, then); });
    if (outcome == StopOutcome::NotRunning || outcome == StopOutcome::Failed) later([then]() mutable { then(true); });
    runCompletions();
}

void Supervisor::removeAll(CommandDone done) {
    stopEvery(false, [this, done] {
        CommandResult result;
        result.servers = servers_.size();
        edit(result, [](EntryStore& store, std::string& error) { return store.removeAll(error); }, done);
    });
}
