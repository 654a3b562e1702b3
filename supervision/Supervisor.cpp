#include "supervision/Supervisor.h"

#include <algorithm>

#include "supervision/MachineLook.h"

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

}  // namespace

Supervisor::Supervisor(Clock& clock, platform::ProcessControl& control, SupervisionOptions options,
                       platform::ProcessTable& table, platform::TcpTable& tcp)
    : context_{clock, control, table, tcp, sane(options)} {}

void Supervisor::setStopPolicy(std::chrono::milliseconds stopTimeout, std::chrono::milliseconds restartBackoffMax) {
    SupervisionOptions options = context_.options;
    options.stopTimeout = stopTimeout;
    options.restartBackoffMax = restartBackoffMax;
    context_.options = sane(options);
}

Supervisor::~Supervisor() {
    servers_.clear();
    context_.completions.clear();
    if (watcher_) watcher_->stop();
}

bool Supervisor::watchExits(std::function<void()> wake) {
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
    if (observer && std::find(moreObservers_.begin(), moreObservers_.end(), observer) == moreObservers_.end())
        moreObservers_.push_back(observer);
}

void Supervisor::removeObserver(SupervisorObserver* observer) {
    moreObservers_.erase(std::remove(moreObservers_.begin(), moreObservers_.end(), observer), moreObservers_.end());
}

void Supervisor::changed(const MonitoredServer& server) {
    if (observer_) observer_->serverChanged(server);
    for (SupervisorObserver* observer : moreObservers_) observer->serverChanged(server);
}

void Supervisor::runCompletions() {
    // Each call may change the list, and with it add further calls.
    while (!context_.completions.empty()) {
        std::vector<std::function<void()>> due;
        due.swap(context_.completions);
        for (auto& call : due) call();
    }
}

void Supervisor::load(const std::vector<ServerEntry>& entries) {
    std::map<std::int32_t, std::unique_ptr<MonitoredServer>> previous = std::move(servers_);
    servers_.clear();
    std::vector<MonitoredServer*> fresh;
    for (const ServerEntry& entry : entries) {
        auto record = std::make_unique<MonitoredServer>(context_);
        auto kept = std::find_if(previous.begin(), previous.end(),
                                 [&](const auto& item) { return item.second && sameEntry(item.second->info, entry); });
        if (kept != previous.end()) {
            record->takeRunStateFrom(*kept->second);
            previous.erase(kept);
        } else {
            fresh.push_back(record.get());
        }
        record->info.index = entry.index;
        record->info.name = entry.name;
        record->info.processname = entry.processname;
        record->info.commandline = entry.commandline;
        servers_[entry.index] = std::move(record);
    }
    previous.clear();
    // The first check of a new record starts its server unless it runs.
    MachineLook look(context_.table, context_.tcp);
    for (MonitoredServer* record : fresh) record->checkStatus(look);
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
    if (!loaded_) {
        loaded_ = true;
        nextTick_ = context_.clock.now() + context_.options.checkInterval;
    }
    if (observer_) observer_->listLoaded();
    for (SupervisorObserver* observer : moreObservers_) observer->listLoaded();
    runCompletions();
}

Clock::TimePoint Supervisor::nextDue() const {
    Clock::TimePoint due = loaded_ ? nextTick_ : Clock::TimePoint::max();
    for (const auto& [index, record] : servers_)
        if (const auto next = record->nextDue(); next && *next < due) due = *next;
    return due;
}

MonitoredServer* Supervisor::byWatchId(std::uint64_t id) {
    for (auto& [index, record] : servers_)
        if (record->watchId() == id) return record.get();
    return nullptr;
}

void Supervisor::handleExits() {
    if (!watcher_) return;
    std::vector<std::uint64_t> ended;
    watcher_->takeExited(ended);
    for (const std::uint64_t id : ended) {
        MonitoredServer* record = byWatchId(id);
        if (!record) continue;  // a process no record holds any more
        const Clock::Duration ran = record->runningFor();
        record->processEnded();
        if (record->stopping()) {
            if (record->followStop()) changed(*record);
            continue;
        }
        // A server that dies sooner than one interval after it started
        // waits for the tick: a crash loop is restarted no more often than
        // once per interval.
        if (ran < context_.options.checkInterval) continue;
        MachineLook look(context_.table, context_.tcp);
        if (record->checkStatus(look)) changed(*record);
        processWalks_ += static_cast<std::uint64_t>(look.processWalks());
    }
}

void Supervisor::runDue() {
    handleExits();
    const Clock::TimePoint now = context_.clock.now();
    MachineLook look(context_.table, context_.tcp);
    for (auto& [index, record] : servers_) {
        const auto due = record->nextDue();
        if (!due || *due > now) continue;
        bool rowChanged = false;
        if (record->stopping()) rowChanged = record->followStop();
        rowChanged = record->settle(look) || rowChanged;
        if (rowChanged) changed(*record);
    }
    if (loaded_ && now >= nextTick_) {
        checkAll();
        nextTick_ += context_.options.checkInterval;
        // After a stall (a suspended machine, a debugger) the next tick
        // counts from now instead of catching up.
        if (nextTick_ <= now) nextTick_ = now + context_.options.checkInterval;
    }
    runCompletions();
}

void Supervisor::checkAll() {
    const auto began = std::chrono::steady_clock::now();
    MachineLook look(context_.table, context_.tcp);
    for (auto& [index, record] : servers_)
        if (record->checkStatus(look)) changed(*record);
    ++passes_;
    processWalks_ += static_cast<std::uint64_t>(look.processWalks());
    lastPassDuration_ = std::chrono::steady_clock::now() - began;
    if (observer_) observer_->passEnded();
    for (SupervisorObserver* observer : moreObservers_) observer->passEnded();
    runCompletions();
}

MonitoredServer* Supervisor::find(std::int32_t index) {
    const auto found = servers_.find(index);
    return found == servers_.end() ? nullptr : found->second.get();
}

std::int32_t Supervisor::runningCount() const {
    std::int32_t n = 0;
    for (const auto& [index, record] : servers_) n += record->info.pid > 0;
    return n;
}

bool Supervisor::start(std::int32_t index) {
    MonitoredServer* record = find(index);
    if (!record) return false;
    record->resetBackoff();  // the operator's start comes at once
    const bool ok = record->start();
    changed(*record);
    runCompletions();
    return ok;
}

void Supervisor::startAll() {
    for (auto& [index, record] : servers_) {
        record->resetBackoff();
        if (record->start()) changed(*record);
    }
    runCompletions();
}

StopOutcome Supervisor::stop(std::int32_t index, bool keepAutoStart, std::function<void(bool)> done) {
    MonitoredServer* record = find(index);
    if (!record) {
        if (done) context_.completions.push_back([done = std::move(done)] { done(true); });
        runCompletions();
        return StopOutcome::NotRunning;
    }
    const StopOutcome outcome = record->stop(keepAutoStart, done);
    if (outcome == StopOutcome::NotRunning || outcome == StopOutcome::Failed) {
        if (done) context_.completions.push_back([done, ok = outcome == StopOutcome::NotRunning] { done(ok); });
    }
    if (outcome != StopOutcome::NotRunning) changed(*record);
    runCompletions();
    return outcome;
}

void Supervisor::stopAll(bool keepAutoStart, std::function<void()> allDone) {
    auto pending = std::make_shared<std::size_t>(1);
    auto one = [pending, allDone](bool) {
        if (--*pending == 0 && allDone) allDone();
    };
    for (auto& [index, record] : servers_) {
        ++*pending;
        const StopOutcome outcome = record->stop(keepAutoStart, one);
        if (outcome == StopOutcome::NotRunning || outcome == StopOutcome::Failed)
            context_.completions.push_back([one] { one(false); });
        if (outcome == StopOutcome::Stopped || outcome == StopOutcome::Stopping) changed(*record);
    }
    context_.completions.push_back([one] { one(true); });
    runCompletions();
}

void Supervisor::checkNow(std::int32_t index) {
    MonitoredServer* record = find(index);
    if (!record) return;
    MachineLook look(context_.table, context_.tcp);
    if (record->checkStatus(look)) changed(*record);
    runCompletions();
}
