#include "supervision/MonitoredServer.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>
#include <utility>
#include <ctime>

#include "log/AppLogger.h"
#include "platform/ExitWatcher.h"
#include "platform/ProcessTable.h"
#include "platform/System.h"
#include "platform/TcpTable.h"
#include "supervision/MachineLook.h"
#include "supervision/ProcessDiscovery.h"

namespace {
const char* const kAlertSubject = "26300 告警邮件";
// Time the launched server gets to open its listening sockets before its
// address is read.
constexpr std::chrono::milliseconds kSettleTime{210};
// How long a killed process is waited for before its stop is given up.
constexpr std::chrono::seconds kKillGrace{5};
// How often a stop is looked at where nothing can wait on the process.
constexpr std::chrono::milliseconds kStopPoll{50};

// "0.0.0.0:7001" for IPv4; "[::1]:8000" for IPv6, the address in the
// system's compressed form.
std::string listenText(const platform::TcpListener& listener) {
    char text[32];
    if (listener.family == platform::AddressFamily::IPv6) {
        std::snprintf(text, sizeof text, "]:%u", static_cast<unsigned>(listener.localPort));
        std::string bracketed(1, '[');
        bracketed += platform::ipv6Text(listener.localAddress6);
        bracketed += text;
        return bracketed;
    }
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", (listener.localAddress >> 24) & 0xFF,
                  (listener.localAddress >> 16) & 0xFF, (listener.localAddress >> 8) & 0xFF,
                  listener.localAddress & 0xFF, static_cast<unsigned>(listener.localPort));
    return text;
}

std::string systemError(int error) { return platform::errorText(error); }

}  // namespace

MonitoredServer::MonitoredServer(SupervisionContext& context) : context_(&context) {}

void MonitoredServer::configure(std::int32_t index, const std::string& name, const std::string& processname,
                                const std::string& commandline) {
    info_.index = index;
    info_.name = name;
    info_.processname = processname;
    info_.commandline = commandline;
}

void MonitoredServer::raise(AlertKind kind, std::string message, std::int32_t pid, std::string reason) {
    AlertEvent event;
    event.kind = kind;
    event.index = info_.index;
    event.name = info_.name;
    event.pid = pid;
    event.time = context_->clock.secondsSince1970();
    event.at = context_->clock.now();
    event.message = std::move(message);
    event.subject = kAlertSubject;
    event.reason = std::move(reason);
    const std::vector<AlertSink*> sinks = context_->alertSinks;
    for (AlertSink* sink : sinks) sink->alert(event);
}

bool MonitoredServer::setAutoStart(bool on) {
    if (autoStart_ == on) return false;
    autoStart_ = on;
    if (on)
        AppLogger::Instance().get().info("Enabled autoStart mode for {}", info_.name);
    else
        AppLogger::Instance().get().info("Disabled autoStart mode for {}", info_.name);
    return true;
}

MonitoredServer::~MonitoredServer() {
    if (watchId_ != 0 && context_->watcher) context_->watcher->unwatch(watchId_);
    // A stop under way ends with the record: whoever waited for it hears so.
    if (stop_)
        for (auto& done : stop_->done)
            if (done) context_->completions.push_back([done = std::move(done)] { done(false); });
}

void MonitoredServer::hold(std::unique_ptr<platform::ProcessHandle> process, Clock::TimePoint runningSince) {
    release();
    process_ = std::move(process);
    runningSince_ = runningSince;
    checksSeenAlive_ = 0;
    endedAt_.reset();
    if (process_ && context_->watcher) {
        const std::uint64_t id = ++context_->lastWatchId;
        if (context_->watcher->watch(id, *process_)) watchId_ = id;
    }
}

void MonitoredServer::release() {
    if (watchId_ != 0 && context_->watcher) context_->watcher->unwatch(watchId_);
    watchId_ = 0;
    process_.reset();
    settleAt_.reset();
}

std::int32_t MonitoredServer::findProcess(MachineLook& look) {
    // The process held since it was found: while it runs it is this
    // server's, and nothing needs to be matched again.
    if (process_ && process_->pid() == info_.pid && !process_->exited()) {
        ++checksSeenAlive_;
        return info_.pid;
    }
    if (process_) {
        const Clock::Duration lived = endedAt_.value_or(context_->clock.now()) - runningSince_;
        lastDiedYoung_ = checksSeenAlive_ == 0 || lived < context_->options.checkInterval;
        lastStartedAt_ = runningSince_;
        release();
    }
    MatchKeys keys;
    if (!formMatchKeys(info_.processname, info_.commandline, keys)) return 0;
    const std::int32_t found = findServerProcess(look, keys);
    if (found == 0) return 0;
    std::unique_ptr<platform::ProcessHandle> process = context_->control.open(found);
    if (!process) return 0;  // ended in between
    std::int64_t started = 0;
    const std::int64_t now = std::time(nullptr);
    const auto age = context_->table.startTime(found, started) && started < now
                         ? std::chrono::seconds(now - started)
                         : std::chrono::seconds(0);
    hold(std::move(process), context_->clock.now() - age);
    return found;
}

bool MonitoredServer::start() {
    autoStart_ = true;
    auto& log = AppLogger::Instance().get();
    log.info("Enabled autoStart mode for {}", info_.name);
    if (info_.pid >= 1) return false;

    int launchedPid = 0, error = 0;
    if (!context_->control.launch(info_.commandline, launchedPid, error)) {
        const std::string reason = systemError(error);
        raise(AlertKind::StartFailed, info_.name + " could not be started: " + reason, 0, reason);
        return false;
    }
    ++restarts_;
    const Clock::TimePoint launchedAt = context_->clock.now();

    // The launcher knows the new process: it is checked directly against
    // the matching rules instead of being looked for again.
    std::unique_ptr<platform::ProcessHandle> process = context_->control.open(launchedPid);
    MatchKeys keys;
    const bool keysFormed = formMatchKeys(info_.processname, info_.commandline, keys);
    const LaunchedProcess state = !process || process->exited()
                                      ? LaunchedProcess::Gone
                                      : checkLaunchedProcess(context_->table, launchedPid, keys);
    if (state == LaunchedProcess::Gone || (state == LaunchedProcess::Unrecognised && process && process->exited())) {
        log.error("{} exited at once after it was started", info_.name);
        return false;
    }
    if (state == LaunchedProcess::Unrecognised || !keysFormed) {
        // The server runs but its configuration does not let it be found
        // again: end it, or every later check would launch one more copy.
        int ignored = 0;
        process->signal(platform::StopSignal::Kill, process->leadsGroup(), ignored);
        log.error("{} was started (pid={}) but cannot be recognised by its command line; it was stopped again",
                  info_.name, launchedPid);
        return false;
    }

    info_.pid = launchedPid;
    readStartTime(info_.startTime);
    hold(std::move(process), launchedAt);
    // The listen address is read once the server has had a moment to open
    // its sockets; the loop goes on meanwhile.
    settleAt_ = launchedAt + kSettleTime;
    raise(AlertKind::Restarted, info_.name + " started successfully: pid=" + std::to_string(launchedPid), launchedPid);
    return true;
}

bool MonitoredServer::settle(MachineLook& look) {
    if (!settleAt_ || context_->clock.now() < *settleAt_) return false;
    settleAt_.reset();
    if (info_.pid <= 0) return false;
    const std::string oldPorts = info_.ports;
    const std::int64_t oldStart = info_.startTime;
    info_.ports = readListenAddress(look);
    readStartTime(info_.startTime);
    context_->control.closeConsoleHost(info_.pid);
    return info_.ports != oldPorts || info_.startTime != oldStart;
}

StopOutcome MonitoredServer::stop(bool keepAutoStart, std::function<void(bool)> done) {
    if (info_.pid == 0) return StopOutcome::NotRunning;
    auto& log = AppLogger::Instance().get();
    if (stop_) {
        // Already on its way down: the newer wish for auto-start counts.
        autoStart_ = keepAutoStart;
        if (!keepAutoStart) log.info("Disabled autoStart mode for {}", info_.name);
        if (done) stop_->done.push_back(std::move(done));
        return StopOutcome::Stopping;
    }
    if (!process_ || process_->pid() != info_.pid) {
        std::unique_ptr<platform::ProcessHandle> process = context_->control.open(info_.pid);
        if (!process) return StopOutcome::Failed;
        hold(std::move(process), runningSince_);
    }
    const bool graceful = context_->options.stopTimeout.count() > 0;
    const bool group = process_->leadsGroup();
    int error = 0;
    const platform::SignalResult result =
        process_->signal(graceful ? platform::StopSignal::Graceful : platform::StopSignal::Kill, group, error);
    if (result == platform::SignalResult::NotPermitted) {
        log.error("{} cannot be stopped (pid={}): {}", info_.name, info_.pid, systemError(error));
        return StopOutcome::Failed;
    }
    autoStart_ = keepAutoStart;
    if (!keepAutoStart) log.info("Disabled autoStart mode for {}", info_.name);
    if (result == platform::SignalResult::Failed) {
        log.error("{} cannot be stopped (pid={}): {}", info_.name, info_.pid, systemError(error));
        return StopOutcome::Failed;
    }

    const Clock::TimePoint now = context_->clock.now();
    PendingStop pending;
    pending.killed = !graceful;
    pending.group = group;
    pending.killAt = now + context_->options.stopTimeout;
    pending.giveUpAt = now + (graceful ? context_->options.stopTimeout : Clock::Duration::zero()) + kKillGrace;
    pending.nextLook = now + kStopPoll;
    if (done) pending.done.push_back(std::move(done));
    stop_ = std::move(pending);
    if (result == platform::SignalResult::Gone || (process_->exited() && groupGone())) {
        finishStop(true);
        return StopOutcome::Stopped;
    }
    return StopOutcome::Stopping;
}

bool MonitoredServer::groupGone() { return !process_ || !stop_ || !stop_->group || !process_->groupRunning(); }

bool MonitoredServer::followStop() {
    if (!stop_) return false;
    const Clock::TimePoint now = context_->clock.now();
    stop_->nextLook = now + kStopPoll;
    if (process_->exited() && groupGone()) {
        finishStop(true);
        return true;
    }
    if (!stop_->killed && now >= stop_->killAt) {
        stop_->killed = true;
        int error = 0;
        process_->signal(platform::StopSignal::Kill, stop_->group, error);
        if (process_->exited() && groupGone()) {
            finishStop(true);
            return true;
        }
    } else if (stop_->killed && now >= stop_->giveUpAt) {
        AppLogger::Instance().get().error("{} did not end after it was killed (pid={})", info_.name, info_.pid);
        finishStop(false);
        return true;
    }
    return false;
}

void MonitoredServer::finishStop(bool ok) {
    std::vector<std::function<void(bool)>> done = std::move(stop_->done);
    stop_.reset();
    if (ok) {
        release();
        info_.pid = 0;
        info_.ports.clear();
        info_.startTime = 0;
    }
    for (auto& callback : done)
        if (callback) context_->completions.push_back([callback = std::move(callback), ok] { callback(ok); });
}

void MonitoredServer::processEnded() {
    // Only the watch is spent; the next check learns the rest.
    watchId_ = 0;
    endedAt_ = context_->clock.now();
}

std::optional<Clock::TimePoint> MonitoredServer::nextDue() const {
    std::optional<Clock::TimePoint> due = settleAt_;
    if (stop_) {
        Clock::TimePoint next = stop_->killed ? stop_->giveUpAt : stop_->killAt;
        // The exit watcher tells of the process's end, but not of the rest
        // of its group, nor of anything where it cannot wait.
        if (watchId_ == 0 || stop_->group) next = std::min(next, stop_->nextLook);
        if (!due || next < *due) due = next;
    }
    return due;
}

Clock::Duration MonitoredServer::runningFor() const {
    if (!process_ || info_.pid == 0) return Clock::Duration::zero();
    return context_->clock.now() - runningSince_;
}

std::string MonitoredServer::readListenAddress(MachineLook& look) {
    if (info_.pid == 0) return {};
    std::vector<platform::TcpListener> listeners;
    if (!look.listenersOf(info_.pid, listeners) || listeners.empty()) return {};
    // IPv4 listeners come first: the last of them, or the last IPv6 one
    // when the process has no IPv4 listener.
    const auto firstIpv6 = std::find_if(listeners.begin(), listeners.end(), [](const platform::TcpListener& l) {
        return l.family == platform::AddressFamily::IPv6;
    });
    return listenText(firstIpv6 == listeners.begin() ? listeners.back() : *std::prev(firstIpv6));
}

void MonitoredServer::readStartTime(std::int64_t& startTime) {
    if (info_.pid == 0) return;
    std::int64_t seconds = 0;
    if (context_->table.startTime(info_.pid, seconds) && seconds > 0) startTime = seconds;
}

bool MonitoredServer::checkStatus(MachineLook& look) {
    if (stop_) return false;  // on its way down: the stop decides what comes next
    bool changed = false;
    const std::int32_t found = findProcess(look);
    const std::string oldPorts = info_.ports;
    if (found != info_.pid) {
        changed = true;
        if (found == 0 && autoStart_)
            raise(AlertKind::ServerDown, info_.name + ": service not working，it will be restarted right away!");
    }
    info_.pid = found;
    if (found == 0 && autoStart_) {
        // A process that lived shorter than one interval counts as a failed
        // start; so does a launch that failed.
        if (lastDiedYoung_.value_or(false)) restartFailed(lastStartedAt_);
        lastDiedYoung_.reset();
        if (backingOff()) return changed;  // the row shows when the next attempt comes
        const Clock::TimePoint attemptedAt = context_->clock.now();
        const bool ok = start();
        AppLogger::Instance().get().info("service is closed, autoStart {} {}", info_.name, ok);
        if (ok) return true;  // start read the start time itself; the address follows when it has settled
        restartFailed(attemptedAt);
        changed = changed || backingOff();
    }
    if (found != 0 && backoff_.failures > 0 && runningFor() >= context_->options.restartBackoffMax) {
        // Running long enough without dying: the next failure starts afresh.
        backoff_ = Backoff{};
    }
    info_.ports = readListenAddress(look);
    // The start time of a held process cannot change; it is read when the
    // process is first found.
    if (found != 0 && (changed || info_.startTime == 0)) readStartTime(info_.startTime);
    if (found != info_.pid || info_.ports != oldPorts) changed = true;
    return changed;
}

bool MonitoredServer::backingOff() const {
    return backoff_.nextAttempt && context_->clock.now() < *backoff_.nextAttempt;
}

std::optional<Clock::TimePoint> MonitoredServer::nextRestart() const {
    if (info_.pid != 0 || !autoStart_ || !backingOff()) return std::nullopt;
    return backoff_.nextAttempt;
}

std::optional<std::int64_t> MonitoredServer::nextRestartTime() const {
    const auto next = nextRestart();
    if (!next) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(*next - context_->clock.now());
    return static_cast<std::int64_t>(std::time(nullptr)) + left.count();
}

void MonitoredServer::resetBackoff() { backoff_ = Backoff{}; }

void MonitoredServer::restartFailed(Clock::TimePoint attemptedAt) {
    const auto max = context_->options.restartBackoffMax;
    if (max.count() <= 0) return;  // off: one attempt per check
    const Clock::TimePoint now = context_->clock.now();
    if (backoff_.failures == 0) {
        backoff_.firstFailure = now;
        backoff_.restartsAtStart = restarts_;
    }
    ++backoff_.failures;
    // 1, 2, 4 ... check intervals, at most the maximum.
    Clock::Duration wait = context_->options.checkInterval;
    bool capped = false;
    for (int i = 1; i < backoff_.failures && !capped; ++i) {
        wait *= 2;
        if (wait >= max) capped = true;
    }
    if (wait >= max) {
        wait = max;
        capped = true;
    }
    // Counted from the attempt, so that attempts are 1, 2, 4 ... intervals apart.
    backoff_.nextAttempt = attemptedAt + wait;
    if (capped && !backoff_.capReported) {
        backoff_.capReported = true;
        const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - backoff_.firstFailure).count();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
        raise(AlertKind::BackoffMax, info_.name + " keeps failing: " +
                                         std::to_string(restarts_ - backoff_.restartsAtStart + 1) + " restarts in " +
                                         std::to_string(minutes) + " minutes; next attempt in " +
                                         std::to_string(seconds) + " s");
    }
}

void MonitoredServer::takeRunStateFrom(MonitoredServer& other) {
    info_.pid = other.info_.pid;
    info_.ports = other.info_.ports;
    info_.startTime = other.info_.startTime;
    autoStart_ = other.autoStart_;
    process_ = std::move(other.process_);
    watchId_ = std::exchange(other.watchId_, 0);
    runningSince_ = other.runningSince_;
    settleAt_ = std::exchange(other.settleAt_, std::nullopt);
    stop_ = std::exchange(other.stop_, std::nullopt);
    restarts_ = other.restarts_;
    backoff_ = other.backoff_;
    lastDiedYoung_ = other.lastDiedYoung_;
    checksSeenAlive_ = other.checksSeenAlive_;
    endedAt_ = other.endedAt_;
    lastStartedAt_ = other.lastStartedAt_;
}
