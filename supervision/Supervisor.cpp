#include "supervision/Supervisor.h"

#include <algorithm>
#include <functional>
#include <optional>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "log/AppLogger.h"
#include "platform/ProcessIdentity.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "supervision/MachineLook.h"
#include "supervision/ServerOutputFile.h"

namespace {

SupervisionOptions sane(SupervisionOptions options) {
    // A shorter period would spin: the settings file's reader warns about it.
    if (options.checkInterval < std::chrono::seconds(1)) options.checkInterval = std::chrono::seconds(1);
    if (options.stopTimeout.count() < 0) options.stopTimeout = std::chrono::milliseconds(0);
    if (options.restartBackoffMax.count() < 0) options.restartBackoffMax = std::chrono::milliseconds(0);
    if (options.startConfirm.count() < 0) options.startConfirm = std::chrono::milliseconds(0);
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

ServerEntry trimmed(const ServerEntry& entry) {
    return ServerEntry{entry.index, platform::trimWhite(entry.name), platform::trimWhite(entry.processname),
                       platform::trimWhite(entry.commandline), entry.options};
}

}  // namespace

Supervisor::Supervisor(Clock& clock, platform::ProcessControl& control, SupervisionOptions options,
                       platform::ProcessTable& table, platform::TcpTable& tcp)
    : context_{clock, control, table, tcp, sane(options)}, health_(control) {
    context_.tell = [this](const MonitoredServer& server) { tell(server); };
    context_.heldElsewhere = [this](int pid) {
        for (const auto& [index, server] : servers_)
            if (server->info().pid == pid) return true;
        return false;
    };
}

void Supervisor::tell(const MonitoredServer& server) {
    // A removed entry's record is on its way out: no row shows it.
    if (!retiring_.empty() && retiringRecord(&server)) return;
    RecordView& view = server.toldView();
    if (!view.update(server)) return;
    view.version = ++viewVersions_;
    if (quiet_) return;
    changed(server);
}

Supervisor::~Supervisor() {
    health_.setWake({});
    records_.clear();
    servers_.clear();
    retiring_.clear();
    // Callbacks owed by stops that ended with their records are not made:
    // whoever waited is going too.
    context_.completions.clear();
    if (watcher_) watcher_->stop();
}

void Supervisor::changeOptions(const SupervisionOptions& options) {
    loop_.check("changeOptions");
    SupervisionOptions next = context_.options;
    next.stopTimeout = options.stopTimeout;
    next.restartBackoffMax = options.restartBackoffMax;
    next.startConfirm = options.startConfirm;
    // The output's limits reach the launches from now on; a writer already
    // running keeps those it was started with.
    next.outputWriter = options.outputWriter;
    next.outputMaxBytes = options.outputMaxBytes;
    next.outputBackups = options.outputBackups;
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
    command();
    tell(server);
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

std::vector<MonitoredServer*> Supervisor::pairing(const std::vector<ServerEntry>& entries) const {
    std::vector<MonitoredServer*> paired(entries.size(), nullptr);
    std::vector<const MonitoredServer*> taken;
    auto free = [&taken](const MonitoredServer* server) {
        return std::find(taken.begin(), taken.end(), server) == taken.end();
    };
    // The same texts first, then the same name, then the same program and
    // command line (a rename): each record continues one entry at most.
    const std::vector<std::function<bool(const ServerInfo&, const ServerEntry&)>> rules{
        [](const ServerInfo& info, const ServerEntry& entry) { return sameEntry(info, entry); },
        [](const ServerInfo& info, const ServerEntry& entry) { return info.name == entry.name; },
        [](const ServerInfo& info, const ServerEntry& entry) {
            return info.processname == entry.processname && info.commandline == entry.commandline;
        }};
    for (const auto& rule : rules)
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (paired[i]) continue;
            for (const auto& [index, server] : servers_)
                if (free(server.get()) && rule(server->info(), entries[i])) {
                    paired[i] = server.get();
                    taken.push_back(server.get());
                    break;
                }
        }
    return paired;
}

ListChange::Changed Supervisor::differences(const MonitoredServer& record, const ServerEntry& entry) {
    ListChange::Changed change;
    change.name = entry.name;
    const ServerInfo& info = record.info();
    const ServerOptions& before = record.options();
    const ServerOptions& after = entry.options;
    auto differs = [&change](bool differ, const char* key) {
        if (differ) change.keys.push_back(key);
        return differ;
    };
    // What is launched, how it is stopped and how it is found.
    bool restart = false;
    restart |= differs(info.processname != entry.processname, "processname");
    restart |= differs(info.commandline != entry.commandline, "commandline");
    restart |= differs(before.cwd != after.cwd, "cwd");
    restart |= differs(before.env != after.env, "env");
    restart |= differs(before.user != after.user || before.group != after.group, "user");
    restart |= differs(before.pidfile != after.pidfile, "pidfile");
    restart |= differs(before.output != after.output, "output");
    restart |= differs(before.killGroup != after.killGroup, "kill_group");
    restart |= differs(before.stopSignal != after.stopSignal, "stop_signal");
    restart |= differs(before.stopTimeout != after.stopTimeout, "stop_timeout");
    restart |= differs(before.match != after.match || before.listen != after.listen, "match");
    // What is only shown or checked: taken without a restart.
    differs(info.name != entry.name, "name");
    differs(!(before.health == after.health), "health");
    change.restarts = restart;
    return change;
}

ListChange Supervisor::plan(const std::vector<ServerEntry>& entries) const {
    ListChange change;
    const std::vector<MonitoredServer*> paired = pairing(entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!paired[i]) {
            change.added.push_back(entries[i].name);
            continue;
        }
        ListChange::Changed differs = differences(*paired[i], entries[i]);
        if (differs.keys.empty())
            ++change.unchanged;
        else
            change.changed.push_back(std::move(differs));
    }
    for (const auto& [index, server] : servers_)
        if (std::find(paired.begin(), paired.end(), server.get()) == paired.end())
            change.removed.push_back(server->info().name);
    return change;
}

ListChange Supervisor::load(const std::vector<ServerEntry>& entries) {
    loop_.check("load");
    const LaunchSlice slice(context_);
    auto& log = AppLogger::Instance().get();
    // The observers hear of the whole list at the end, not of each record.
    quiet_ = true;
    // What the last run of the supervisor held, read once, at the start.
    std::vector<RememberedServer> remembered;
    bool sameBoot = false;
    if (!loaded_ && stateStore_) {
        std::string boot;
        remembered = stateStore_->read(boot);
        sameBoot = !remembered.empty() && boot == platform::bootId();
    }
    const ListChange change = plan(entries);
    const std::vector<MonitoredServer*> paired = pairing(entries);
    std::map<std::int32_t, std::unique_ptr<MonitoredServer>> previous = std::move(servers_);
    servers_.clear();
    auto takeFromPrevious = [&previous](MonitoredServer* record) {
        for (auto it = previous.begin(); it != previous.end(); ++it)
            if (it->second.get() == record) {
                std::unique_ptr<MonitoredServer> taken = std::move(it->second);
                previous.erase(it);
                return taken;
            }
        return std::unique_ptr<MonitoredServer>();
    };
    std::vector<MonitoredServer*> fresh;
    const std::map<std::int32_t, std::string> outputFiles =
        ServerOutputFile::pathsFor(context_.options.outputDirectory, entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ServerEntry& entry = entries[i];
        auto server = std::make_unique<MonitoredServer>(context_);
        const auto outputFile = outputFiles.find(entry.index);
        const std::string output = outputFile == outputFiles.end() ? std::string() : outputFile->second;
        if (std::unique_ptr<MonitoredServer> old = takeFromPrevious(paired[i])) {
            const ListChange::Changed differs = differences(*old, entry);
            server->takeRunStateFrom(*old);
            if (differs.restarts) {
                // The old definition's process goes first, as it would be
                // stopped; the new one starts once it has gone.
                if (server->info().pid > 0) {
                    log.info("{} changed ({}); stopping it (pid={}) to start it anew", entry.name,
                             fmt::format("{}", fmt::join(differs.keys, ", ")), server->info().pid);
                    server->stop(server->autoStart(), {}, std::nullopt, StopFor::Change);
                } else {
                    fresh.push_back(server.get());
                }
            }
            server->configure(entry, output);
        } else {
            fresh.push_back(server.get());
            server->configure(entry, output);
            // Each record of the state file serves one entry.
            auto record = std::find_if(remembered.begin(), remembered.end(),
                                       [&](const RememberedServer& r) { return sameEntry(r, entry); });
            if (record != remembered.end()) {
                server->readopt(*record, sameBoot);
                if (record->stopped && context_.options.rememberStopped) {
                    server->keepDownFromLastRun();
                    log.info("{} stays down: it was stopped when Procward last ran (REMEMBER_STOPPED=1)", entry.name);
                }
                remembered.erase(record);
            }
        }
        servers_[entry.index] = std::move(server);
    }
    records_.clear();
    for (const auto& [index, server] : servers_) records_.push_back(server.get());
    healthRuled_ = static_cast<std::size_t>(std::count_if(
        servers_.begin(), servers_.end(), [](const auto& entry) { return entry.second->options().health.has_value(); }));
    // Removed entries: their processes are stopped as a delete stops them.
    for (auto& [index, gone] : previous) {
        const auto waiting = verdictWaiters_.find(gone.get());
        if (waiting != verdictWaiters_.end()) {
            for (auto& done : waiting->second)
                if (done)
                    later([done = std::move(done)] {
                        done(false, "the server left the list before its check came back");
                    });
            verdictWaiters_.erase(waiting);
        }
        if (gone->info().pid > 0 && !gone->stopping()) {
            log.info("{} was removed from the list; stopping it (pid={})", gone->info().name, gone->info().pid);
            retiring_.push_back(std::move(gone));
            retiring_.back()->stop(false);
        } else if (gone->stopping()) {
            retiring_.push_back(std::move(gone));
        }
    }
    previous.clear();
    // The first check of a new record starts its server unless it runs.
    MachineLook look(context_.table, context_.tcp);
    for (MonitoredServer* server : fresh) server->checkStatus(look);
    for (MonitoredServer* server : records_) tell(*server);
    quiet_ = false;
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
    if (!loaded_) {
        loaded_ = true;
        nextTick_ = context_.clock.now() + context_.options.checkInterval;
    }
    // Entries that came or went change what the state file keeps.
    context_.stateChanged = true;
    listLoaded();
    runCompletions();
    return change;
}

bool Supervisor::retiringRecord(const MonitoredServer* server) const {
    for (const auto& record : retiring_)
        if (record.get() == server) return true;
    return false;
}

void Supervisor::reload() {
    loop_.check("reload");
    if (store_) load(store_->read());
}

Clock::TimePoint Supervisor::nextDue() const {
    Clock::TimePoint due = loaded_ ? nextTick_ : Clock::TimePoint::max();
    for (const MonitoredServer* server : records_)
        if (const auto next = server->nextDue(); next && *next < due) due = *next;
    for (const auto& server : retiring_)
        if (const auto next = server->nextDue(); next && *next < due) due = *next;
    return due;
}

MonitoredServer* Supervisor::byWatchId(std::uint64_t id) {
    for (MonitoredServer* server : records_)
        if (server->watchId() == id) return server;
    for (auto& server : retiring_)
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
            server->followStop();
        } else {
            // The end is told at once, whether or not the restart waits: a
            // server that dies sooner than one interval after it started
            // waits for its back-off step (with the back-off off, for the tick).
            server->checkStatus(look, false);
        }
        tell(*server);
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
        // The server may have stopped, gone or been replaced meanwhile: then
        // nobody awaits this ticket and what it saw is dropped.
        MonitoredServer* server = index ? record(index) : nullptr;
        if (!server || server->healthTicket() != ticket) continue;
        notifying(*server, [&] { server->healthResult(result); });
        answerVerdict(*server, result);
    }
    // Without a rule nothing can come due: the records are not walked.
    if (healthRuled_ == 0) return;
    bool due = false;
    for (const MonitoredServer* server : records_)
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

void Supervisor::answerVerdict(const MonitoredServer& server, const HealthCheckResult& result) {
    const auto waiting = verdictWaiters_.find(&server);
    if (waiting == verdictWaiters_.end()) return;
    std::vector<HealthCheckDone> answers = std::move(waiting->second);
    verdictWaiters_.erase(waiting);
    // Passed: healthy by the rule's verdict, or no verdict yet and this check passed.
    const HealthState verdict = server.health();
    const bool checkPassed = (!result.probed || result.healthy) && server.healthReason().empty();
    const bool passed = verdict == HealthState::Healthy || (verdict != HealthState::Unhealthy && checkPassed);
    const std::string text = server.info().name + ": " + server.healthVerdict(result);
    for (auto& done : answers)
        if (done) later([done = std::move(done), passed, text] { done(passed, text); });
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
    loop_.check("checkHealth");
    MonitoredServer* server = record(index);
    HealthCheck check;
    std::string why;
    if (!server) {
        if (done) later([done] { done(false, "no such server"); });
    } else if (!server->healthCheckNow(check, why) || !server->checkHealthSoon()) {
        if (done) later([done, why] { done(false, why); });
    } else {
        // The rule's next check goes out now; its verdict is the answer.
        verdictWaiters_[server].push_back(std::move(done));
        handleHealth();
    }
    runCompletions();
}

void Supervisor::runDue() {
    loop_.check("runDue");
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
    for (MonitoredServer* server : records_) {
        const auto due = server->nextDue();
        if (!due || *due > now) continue;
        server->followUp(look);
        tell(*server);
    }
    // Removed entries' processes on their way out; gone once they have ended.
    for (auto& server : retiring_)
        if (const auto due = server->nextDue(); due && *due <= now) server->followStop();
    retiring_.erase(std::remove_if(retiring_.begin(), retiring_.end(),
                                   [](const std::unique_ptr<MonitoredServer>& server) { return !server->stopping(); }),
                    retiring_.end());
    runCompletions();
    if (loaded_ && now >= nextTick_) {
        // The follow-ups' look serves the pass too: one walk of the table
        // at most, whoever asks first.
        checkAll(look);
        nextTick_ += context_.options.checkInterval;
        // After a stall (a suspended machine, a debugger) the next tick
        // counts from now instead of catching up.
        if (nextTick_ <= now) nextTick_ = now + context_.options.checkInterval;
    }
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
    runCompletions();
    // Checks that came due through what ran above (a start's grace may be 0).
    handleHealth();
}

void Supervisor::checkAll() {
    context_.control.reapChildren();
    MachineLook look(context_.table, context_.tcp);
    checkAll(look);
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
}

void Supervisor::checkAll(MachineLook& look) {
    loop_.check("checkAll");
    const LaunchSlice slice(context_);
    const auto began = std::chrono::steady_clock::now();
    // Ended children were collected by the caller (runDue does so first).
    // Which held processes still run is asked for all of them at once: for
    // those the exit watcher holds, by one question to it, and for the rest
    // by one to the platform.
    const bool watchedRun = watcher_ && watcher_->noneEnded();
    heldNow_.clear();
    for (MonitoredServer* server : records_)
        heldNow_.push_back(watchedRun && server->watchId() != 0 ? nullptr : server->heldProcess());
    context_.control.stillRunning(heldNow_, runningNow_);
    if (watchedRun) {
        std::size_t at = 0;
        for (MonitoredServer* server : records_) {
            if (server->watchId() != 0) {
                heldNow_[at] = server->heldProcess();
                runningNow_[at] = heldNow_[at] != nullptr;
            }
            ++at;
        }
    }
    std::size_t at = 0;
    for (MonitoredServer* server : records_) {
        // Matched by the handle itself: an entry that came or went meanwhile
        // (an observer's command) only costs its own ask.
        const bool seen = at < heldNow_.size() && runningNow_[at] && heldNow_[at] == server->heldProcess();
        server->checkStatus(look, true, seen ? heldNow_[at] : nullptr);
        ++at;
        tell(*server);
    }
    ++passes_;
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
    loop_.check("start");
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
                            : ok       ? CommandStatus::Done
                                       : CommandStatus::StartFailed;
        }
    }
    if (done) later([done = std::move(done), result] { done(result); });
    runCompletions();
}

void Supervisor::stop(std::int32_t index, CommandDone done) {
    loop_.check("stop");
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
    loop_.check("kill");
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
    notifying(*server, [&] { outcome = server->kill(finished); });
    if (outcome == StopOutcome::Failed) later([finished]() mutable { finished(false); });
    runCompletions();
}

void Supervisor::restart(std::int32_t index, CommandDone done) {
    loop_.check("restart");
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
                MachineLook look(context_.table, context_.tcp);
                now->startAgain(look);
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
    loop_.check("startAll");
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
    loop_.check("stopAll");
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
    loop_.check("setAutoStart");
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
    loop_.check("add");
    const ServerEntry stored = trimmed(entry);
    CommandResult result;
    result.name = stored.name;
    edit(
        result, [&](EntryStore& store, std::string& error) { return store.add(stored, error); }, done);
    runCompletions();
}

void Supervisor::remove(std::int32_t index, CommandDone done) {
    loop_.check("remove");
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
        edit(
            result, [now](EntryStore& store, std::string& error) { return store.remove(now, error); }, done);
    };
    StopOutcome outcome = StopOutcome::NotRunning;
    if (server->info().pid != 0) notifying(*server, [&] { outcome = server->stop(false, then); });
    if (outcome == StopOutcome::NotRunning || outcome == StopOutcome::Failed) later([then]() mutable { then(true); });
    runCompletions();
}

void Supervisor::replace(std::int32_t index, ServerEntry entry, CommandDone done,
                         std::optional<HealthCheckEdit> health) {
    loop_.check("replace");
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
        edit(
            result,
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
    loop_.check("removeAll");
    stopEvery(false, [this, done] {
        CommandResult result;
        result.servers = servers_.size();
        edit(
            result, [](EntryStore& store, std::string& error) { return store.removeAll(error); }, done);
    });
}

EntryCheck Supervisor::checkEntry(const std::string& name, const std::string& processname,
                                  const std::string& commandline, std::int32_t replacing) const {
    std::vector<EntryCheck::Listed> listed;
    listed.reserve(servers_.size());
    for (const auto& [index, server] : servers_)
        if (index != replacing) listed.push_back({index, server->info().name, server->info().commandline});
    return EntryCheck::of(name, processname, commandline, listed);
}

void Supervisor::signal(std::int32_t index, platform::StopSignal kind, bool group, CommandDone done) {
    loop_.check("signal");
    CommandResult result;
    result.index = index;
    MonitoredServer* server = record(index);
    if (!server) {
        result.status = CommandStatus::NoSuchServer;
    } else {
        result.name = server->info().name;
        result.pid = server->info().pid;
        int error = 0;
        const platform::SignalResult sent = server->sendSignal(kind, group, error);
        if (sent == platform::SignalResult::Sent) {
            AppLogger::Instance().get().info("{}: sent SIG{} to pid {}{}", result.name, platform::stopSignalName(kind),
                                             result.pid, group ? " and its process group" : "");
            result.status = CommandStatus::Done;
        } else if (sent == platform::SignalResult::Gone) {
            result.status = CommandStatus::NotRunning;
        } else {
            result.status = CommandStatus::StopFailed;
            result.error = platform::errorText(error);
        }
    }
    if (done) later([done = std::move(done), result] { done(result); });
    runCompletions();
}
