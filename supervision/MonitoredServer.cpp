#include "supervision/MonitoredServer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <cstring>
#include <ctime>
#include <utility>

#include "log/AppLogger.h"
#include "platform/ExitWatcher.h"
#include "platform/FileStore.h"
#include "platform/ProcessIdentity.h"
#include "platform/ProcessTable.h"
#include "platform/System.h"
#include "platform/TcpTable.h"
#include "supervision/MachineLook.h"
#include "supervision/ProcessDiscovery.h"
#include "supervision/ServerOutputFile.h"

namespace {
const char* const kAlertSubject = "26300 告警邮件";
// Time the launched server gets to open its listening sockets before its
// address is read.
constexpr std::chrono::milliseconds kSettleTime{210};
// How long a killed process is waited for before its stop is given up.
constexpr std::chrono::seconds kKillGrace{5};
// How often a stop is looked at where nothing can wait on the process.
constexpr std::chrono::milliseconds kStopPoll{50};
// How long a daemonizing server has to write its pidfile, and how often the
// file is looked at meanwhile.
constexpr std::chrono::seconds kPidfileWait{5};
constexpr std::chrono::milliseconds kPidfilePoll{100};

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

// The process ID at the start of a pidfile's text; 0 when there is none.
int pidOfText(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    long long pid = 0;
    std::size_t digits = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && digits < 10; ++at, ++digits)
        pid = pid * 10 + (text[at] - '0');
    if (digits == 0 || pid <= 0 || pid > 0x7FFFFFFF) return 0;
    return static_cast<int>(pid);
}

std::string plural(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

// Megabytes (of 1,048,576 bytes) with thousands separated: "2,310 MB".
std::string megabytesText(double mb) {
    std::string digits = std::to_string(static_cast<long long>(mb + 0.5));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
    return digits + " MB";
}

// The address a listen address text ("0.0.0.0:7001", "[::]:8000") is
// reached at from this machine: a wildcard address by its loopback.
bool reachableAt(const std::string& listen, std::string& host, std::uint16_t& port) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos || colon + 1 >= listen.size()) return false;
    host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const unsigned long value = std::strtoul(listen.c_str() + colon + 1, nullptr, 10);
    if (value == 0 || value > 65535 || host.empty()) return false;
    port = static_cast<std::uint16_t>(value);
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    return true;
}

}  // namespace

MonitoredServer::MonitoredServer(SupervisionContext& context) : context_(&context) {}

void MonitoredServer::configure(const ServerEntry& entry, const std::string& outputFile) {
    info_.index = entry.index;
    info_.name = entry.name;
    info_.processname = entry.processname;
    info_.commandline = entry.commandline;
    // A record that keeps its process across a reload keeps the counts of
    // its health rule, unless the rule itself changed.
    const bool ruleChanged = !(options_.health == entry.options.health);
    options_ = entry.options;
    outputFile_ = options_.output == ServerOutput::discard ? std::string() : outputFile;
    if (ruleChanged && process_) resetHealth(runningSince_);
}

void MonitoredServer::recordExit(const LastExit& exit) {
    lastExit_ = exit;
    if (!exit.status) return;
    ++(exit.status->how == platform::ExitStatus::How::Code ? exitsByCode_ : exitsBySignal_);
}

void MonitoredServer::note(const std::string& text) const {
    if (!capturedIn_.empty()) ServerOutputFile::appendNote(capturedIn_, context_->clock.secondsSince1970(), text);
}

std::string MonitoredServer::outputNote() const {
    if (options_.output == ServerOutput::discard) return "its output is discarded (\"output\": \"discard\")";
    if (outputFile_.empty()) return "its output is not kept (no output directory)";
    if (process_ && capturedIn_.empty())
        return "it was found running, not started by this Procward: its output is not captured";
    return {};
}

void MonitoredServer::raise(AlertKind kind, std::string message, std::int32_t pid, std::string reason,
                            bool withOutput) {
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
    // Whoever heard that it failed hears when it runs again.
    if (kind == AlertKind::ServerDown || kind == AlertKind::StartFailed || kind == AlertKind::BackoffMax)
        recoveryOwed_ = true;
    if (kind == AlertKind::BackoffMax && event.reason.empty())
        event.reason = !startError_.empty() ? startError_ : lastExit_ ? lastExit_->reason() : std::string();
    if ((withOutput || kind == AlertKind::ServerDown || kind == AlertKind::BackoffMax) && lastExit_) {
        event.outputFile = lastExit_->outputFile;
        if (!event.outputFile.empty())
            event.outputEnd = ServerOutputFile::size(event.outputFile);
        else if (!lastExit_->launchedHere)
            event.outputNote = "it was not started by this Procward: its output is not captured";
        else
            event.outputNote = outputNote();
    }
    const std::vector<AlertSink*> sinks = context_->alertSinks;
    for (AlertSink* sink : sinks) sink->alert(event);
}

bool MonitoredServer::setAutoStart(bool on) {
    if (autoStart_ == on) return false;
    autoStart_ = on;
    touched();
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

ServerState MonitoredServer::state() const {
    if (stop_) return ServerState::Stopping;
    if (pidfileWait_) return ServerState::Starting;
    if (process_ && info_.pid > 0) return settleAt_ ? ServerState::Starting : ServerState::Running;
    if (!autoStart_ || backoff_.failures == 0) return ServerState::Stopped;
    // The first failure of a streak is tried again as any check would; from
    // the second on, with the back-off on, the waits grow.
    return backoff_.failures >= 2 && context_->options.restartBackoffMax.count() > 0 ? ServerState::Backoff
                                                                                      : ServerState::Failing;
}

void MonitoredServer::hold(std::unique_ptr<platform::ProcessHandle> process, Clock::TimePoint runningSince,
                           bool owned, bool withGroup, bool seenAlive) {
    release();
    process_ = std::move(process);
    info_.pid = process_->pid();
    runningSince_ = runningSince;
    owned_ = owned;
    byThisRun_ = false;
    // Only a group the server leads, and only one that came with a launch:
    // a process found running may share its group with anything.
    groupWanted_ = withGroup;
    group_ = withGroup && process_->leadsGroup() ? process_->pid() : 0;
    // A launched process may have ended already (a daemon's starter does
    // at once); its start is still known while it is held.
    identity_ = (process_->launchedHere() ? platform::heldProcessIdentity(info_.pid) : platform::processIdentity(info_.pid)).value_or(0);
    seenAliveAt_ = seenAlive ? context_->clock.now() : runningSince;
    endedAt_.reset();
    resetHealth(runningSince);
    if (context_->watcher) {
        const std::uint64_t id = ++context_->lastWatchId;
        if (context_->watcher->watch(id, *process_)) watchId_ = id;
    }
    touched();
}

void MonitoredServer::release() {
    if (watchId_ != 0 && context_->watcher) context_->watcher->unwatch(watchId_);
    watchId_ = 0;
    process_.reset();
    settleAt_.reset();
    owned_ = false;
    byThisRun_ = false;
    group_ = 0;
    groupWanted_ = false;
    identity_ = 0;
    capturedIn_.clear();
    info_.pid = 0;
    info_.ports.clear();
    // A check under way is for a process that is gone: its result is
    // dropped. The verdict stays while the rule itself restarts the server.
    health_.ticket = 0;
    if (!(stop_ && stop_->forHealth)) {
        health_.state = HealthState::Checking;
        health_.reason.clear();
    }
    touched();
}

std::int32_t MonitoredServer::findProcess(MachineLook& look) {
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
    // Found, not launched: it is signalled alone, and how it ends is not
    // for this supervisor to learn.
    hold(std::move(process), context_->clock.now() - age, false, false, true);
    return found;
}

platform::LaunchRequest MonitoredServer::launchRequest() const {
    platform::LaunchRequest request;
    request.commandLine = info_.commandline;
    // Empty: the directory of the program that is run.
    request.workingDirectory = options_.cwd;
    request.environment = options_.env;
    request.user = options_.user;
    request.group = options_.group;
    request.outputFile = outputFile_;
    return request;
}

bool MonitoredServer::start() {
    autoStart_ = true;
    touched();
    auto& log = AppLogger::Instance().get();
    log.info("Enabled autoStart mode for {}", info_.name);
    // Running, or on its way: a daemon's pidfile is awaited.
    if (info_.pid >= 1 || pidfileWait_) return false;
    const Clock::TimePoint now = context_->clock.now();
    if (cleanup_) {
        // What was left of the last process goes first; the start follows.
        attemptAt_ = now;
        awaitTick_ = false;
        return false;
    }
    attemptAt_.reset();
    awaitTick_ = false;

    platform::LaunchFailure failure;
    platform::LaunchRequest request = launchRequest();
    std::unique_ptr<platform::ProcessHandle> process = context_->control.start(request, failure);
    if (!process && failure.outputFile) {
        // A log directory that cannot be written keeps no server down: it
        // runs, its output discarded.
        log.error("{}: {}; its output is discarded", info_.name, failure.text);
        request.outputFile.clear();
        process = context_->control.start(request, failure);
    }
    if (!process) {
        startError_ = failure.text;
        log.error("{} could not be started: {}", info_.name, failure.text);
        raise(AlertKind::StartFailed, info_.name + " could not be started: " + failure.text, 0,
              failure.error != 0 ? systemError(failure.error) : failure.text);
        failed(now);
        return false;
    }
    startError_.clear();
    ++restarts_;
    // Held from this moment: whatever it execs or calls itself, this is the
    // server until it exits.
    hold(std::move(process), now, true, true, false);
    byThisRun_ = true;
    capturedIn_ = request.outputFile;
    note("started pid " + std::to_string(info_.pid));
    readStartTime(info_.startTime);
    // The listen address is read once the server has had a moment to open
    // its sockets; the loop goes on meanwhile.
    settleAt_ = now + kSettleTime;
    if (process_->exited()) {
        // Gone already: nothing started successfully (unless it handed over
        // to a daemon, which its pidfile names).
        noteEnd();
        if (!pidfileWait_ && lastExit_)
            raise(AlertKind::StartFailed, info_.name + " could not be started: it " + lastExit_->summary(), 0,
                  lastExit_->reason(), true);
        return pidfileWait_.has_value();
    }
    // A server that daemonizes is announced once its own process is known.
    if (options_.pidfile.empty())
        raise(AlertKind::Restarted, info_.name + " started successfully: pid=" + std::to_string(info_.pid), info_.pid);
    return true;
}

bool MonitoredServer::settle(MachineLook& look) {
    if (!settleAt_ || context_->clock.now() < *settleAt_) return false;
    settleAt_.reset();
    if (info_.pid <= 0) return false;
    info_.ports = readListenAddress(look);
    readStartTime(info_.startTime);
    // The server's console host is kept: it is what carries a Ctrl-Break to
    // a console server, so that a stop lets it save.
    // Confirmed: from starting to running, whatever the address says.
    return true;
}

std::string MonitoredServer::pidfilePath() const { return options_.pidfile; }

std::unique_ptr<platform::ProcessHandle> MonitoredServer::daemonFromPidfile(std::uint64_t notBefore) {
    std::string text;
    if (platform::readWholeFile(pidfilePath(), text) != platform::FileRead::ok) return nullptr;
    const int pid = pidOfText(text);
    if (pid <= 0) return nullptr;
    // A pidfile left by an earlier run names a process that has ended, or,
    // once its ID has been given again, one that started before the launch.
    const auto identity = platform::processIdentity(pid);
    // Without the launch's own start there is no telling an old process
    // from the daemon: none is taken, and the wait runs out with a reason.
    if (!identity || notBefore == 0 || *identity < notBefore) return nullptr;
    std::unique_ptr<platform::ProcessHandle> process = context_->control.open(pid);
    // Opened after the look at its identity: still the same process?
    if (!process || platform::processIdentity(pid) != identity) return nullptr;
    return process;
}

bool MonitoredServer::followPidfile() {
    if (!pidfileWait_) return false;
    const Clock::TimePoint now = context_->clock.now();
    if (now < pidfileWait_->nextLook) return false;
    pidfileWait_->nextLook = now + kPidfilePoll;
    auto& log = AppLogger::Instance().get();
    if (std::unique_ptr<platform::ProcessHandle> daemon = daemonFromPidfile(pidfileWait_->launchIdentity)) {
        const Clock::TimePoint launchedAt = pidfileWait_->launchedAt;
        const std::string capturedIn = pidfileWait_->capturedIn;
        pidfileWait_.reset();
        // Its run counts from the launch: a daemon that dies young is a
        // failed start like any other. Its group is its own, when it leads one.
        hold(std::move(daemon), launchedAt, true, true, false);
        byThisRun_ = true;
        capturedIn_ = capturedIn;
        note("runs as pid " + std::to_string(info_.pid) + ", named in its pidfile");
        readStartTime(info_.startTime);
        settleAt_ = now;  // its sockets are open by now: read them at once
        log.info("{} runs as pid {}, named in its pidfile {}", info_.name, info_.pid, pidfilePath());
        raise(AlertKind::Restarted, info_.name + " started successfully: pid=" + std::to_string(info_.pid), info_.pid);
        if (!autoStart_) stop(false);  // the operator stopped it while it was starting
        return true;
    }
    if (now < pidfileWait_->until) return false;
    const PidfileWait wait = *pidfileWait_;
    pidfileWait_.reset();
    touched();
    const std::string problem = "its pidfile " + pidfilePath() + " named no running process within " +
                                std::to_string(kPidfileWait.count()) + " s";
    log.error("{} was started, but {}", info_.name, problem);
    lastExit_ = wait.handover;
    lastExit_->detail = problem;
    startError_ = problem;
    raise(AlertKind::StartFailed, info_.name + " could not be started: " + problem, 0, problem);
    failed(wait.launchedAt);
    return true;
}

void MonitoredServer::noteEnd() {
    auto& log = AppLogger::Instance().get();
    const Clock::TimePoint now = context_->clock.now();
    const Clock::TimePoint endedAt = endedAt_.value_or(now);
    const bool launchedHere = process_->launchedHere();
    const std::optional<platform::ExitStatus> status =
        launchedHere ? process_->exitStatus() : std::optional<platform::ExitStatus>();
    const Clock::Duration ran = endedAt - runningSince_;

    LastExit exit;
    exit.status = status;
    exit.launchedHere = byThisRun_;
    exit.time = context_->clock.secondsSince1970();
    exit.ran = ran;
    exit.outputFile = capturedIn_;

    if (launchedHere && !options_.pidfile.empty() && status &&
        status->how == platform::ExitStatus::How::Code && status->value == 0) {
        // A daemonizing start: the launched process has handed over to the
        // server it started, whose PID comes from the pidfile.
        PidfileWait wait;
        wait.until = now + kPidfileWait;
        wait.nextLook = now;
        wait.launchedAt = runningSince_;
        wait.launchedPid = info_.pid;
        wait.launchIdentity = identity_;
        wait.handover = exit;
        wait.capturedIn = capturedIn_;
        ++exitsByCode_;
        note("exited with code 0; the server's pid comes from its pidfile");
        log.info("{} (pid={}) exited with code 0; its server's pid is read from {}", info_.name, info_.pid,
                 pidfilePath());
        release();
        pidfileWait_ = wait;
        followPidfile();
        return;
    }

    recordExit(exit);
    log.warn("{}", exit.logLine(info_.name));
    note(exit.summary());
    // It lived less than an interval: a start that failed. Where the exit
    // watcher did not tell when it ended, what the checks saw counts: it
    // lived at least until the last one that found it alive.
    const Clock::Duration lived = endedAt_ ? ran : seenAliveAt_ - runningSince_;
    const bool young = lived < context_->options.checkInterval;
    lastStartedAt_ = runningSince_;
    if (watchId_ != 0 && context_->watcher) context_->watcher->unwatch(watchId_);
    watchId_ = 0;
    if (groupWanted_ && group_ == 0 && process_->leadsGroup()) group_ = process_->pid();
    std::unique_ptr<platform::ProcessHandle> leader = std::move(process_);
    const bool withGroup = group_ != 0 && options_.killGroup;
    release();
    if (withGroup) beginCleanup(std::move(leader));
    if (young) {
        failed(lastStartedAt_);
    } else {
        // It ran long enough: started again as soon as nothing holds it.
        attemptAt_ = now;
        awaitTick_ = false;
    }
}

void MonitoredServer::beginCleanup(std::unique_ptr<platform::ProcessHandle> leader) {
    const int members = leader->groupSize();
    if (members <= 0) return;
    const Clock::TimePoint now = context_->clock.now();
    const bool graceful = context_->options.stopTimeout.count() > 0;
    int error = 0;
    leader->signal(graceful ? platform::StopSignal::Graceful : platform::StopSignal::Kill, true, error);
    Cleanup cleanup;
    cleanup.leader = std::move(leader);
    cleanup.members = members;
    cleanup.killed = !graceful;
    cleanup.killAt = now + context_->options.stopTimeout;
    cleanup.giveUpAt = now + (graceful ? context_->options.stopTimeout : Clock::Duration::zero()) + kKillGrace;
    cleanup.nextLook = now + kStopPoll;
    cleanup_ = std::move(cleanup);
}

bool MonitoredServer::followCleanup() {
    if (!cleanup_) return false;
    const Clock::TimePoint now = context_->clock.now();
    if (now < cleanup_->nextLook && now < cleanup_->killAt) return false;
    cleanup_->nextLook = now + kStopPoll;
    auto& log = AppLogger::Instance().get();
    const int left = cleanup_->leader->groupSize();
    if (left == 0) {
        log.info("{}: ended {} of its group", info_.name,
                 plural(cleanup_->members, "leftover process", "leftover processes"));
        cleanup_.reset();
        return true;
    }
    if (!cleanup_->killed && now >= cleanup_->killAt) {
        cleanup_->killed = true;
        int error = 0;
        cleanup_->leader->signal(platform::StopSignal::Kill, true, error);
    } else if (cleanup_->killed && now >= cleanup_->giveUpAt) {
        log.error("{}: {} of its group did not end after they were killed", info_.name,
                  plural(left, "leftover process", "leftover processes"));
        cleanup_.reset();
        return true;
    }
    return false;
}

StopOutcome MonitoredServer::stop(bool keepAutoStart, std::function<void(bool)> done) {
    if (info_.pid == 0 || !process_) return StopOutcome::NotRunning;
    auto& log = AppLogger::Instance().get();
    if (stop_) {
        // Already on its way down: the newer wish for auto-start counts.
        autoStart_ = keepAutoStart;
        touched();
        if (!keepAutoStart) log.info("Disabled autoStart mode for {}", info_.name);
        if (done) stop_->done.push_back(std::move(done));
        return StopOutcome::Stopping;
    }
    const bool graceful = context_->options.stopTimeout.count() > 0;
    // The group only where it came with a launch and may be ended with it.
    if (groupWanted_ && group_ == 0 && process_->leadsGroup()) group_ = process_->pid();
    const bool group = group_ != 0 && options_.killGroup;
    int error = 0;
    const platform::SignalResult result =
        process_->signal(graceful ? platform::StopSignal::Graceful : platform::StopSignal::Kill, group, error);
    if (result == platform::SignalResult::NotPermitted) {
        log.error("{} cannot be stopped (pid={}): {}", info_.name, info_.pid, systemError(error));
        return StopOutcome::Failed;
    }
    autoStart_ = keepAutoStart;
    touched();
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
    health_.ticket = 0;  // nothing more is learnt from a check of a process on its way out
    if (result == platform::SignalResult::Gone || (process_->exited() && groupGone())) {
        finishStop(true);
        return StopOutcome::Stopped;
    }
    return StopOutcome::Stopping;
}

bool MonitoredServer::groupGone() {
    // Live members only: the remains of a member whose parent has not
    // collected them yet do not hold a stop up.
    return !process_ || !stop_ || !stop_->group || (!process_->groupRunning() || process_->groupSize() == 0);
}

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
        if (!stop_->killAsked)
            AppLogger::Instance().get().warn("{} did not end within the stop time-out; killing it (pid={})",
                                             info_.name, info_.pid);
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
    if (ok) {
        if (process_ && process_->exited()) {
            LastExit exit;
            exit.launchedHere = byThisRun_;
            if (process_->launchedHere()) exit.status = process_->exitStatus();
            exit.time = context_->clock.secondsSince1970();
            exit.ran = context_->clock.now() - runningSince_;
            exit.outputFile = capturedIn_;
            recordExit(exit);
            AppLogger::Instance().get().info("{}", exit.logLine(info_.name));
            note(exit.summary());
        }
        const bool forHealth = stop_->forHealth;
        release();
        info_.startTime = 0;
        if (forHealth) {
            // Stopped by its health rule: a failure like a crash, so a server
            // that keeps failing its rule backs off; the first restart of a
            // streak comes at once.
            const Clock::TimePoint now = context_->clock.now();
            failed(now);
            if (backoff_.failures == 1) {
                attemptAt_ = now;
                awaitTick_ = false;
            }
        } else {
            // Stopped on purpose: no failure streak goes on, no attempt is owed.
            backoff_ = Backoff{};
            attemptAt_.reset();
            awaitTick_ = false;
        }
    }
    stop_.reset();
    for (auto& callback : done)
        if (callback) context_->completions.push_back([callback = std::move(callback), ok] { callback(ok); });
}

void MonitoredServer::watchEnded() {
    // Only the watch is spent; the check that follows learns the rest.
    watchId_ = 0;
    endedAt_ = context_->clock.now();
}

std::optional<Clock::TimePoint> MonitoredServer::attemptDue() const {
    if (process_ || !autoStart_ || stop_ || cleanup_ || pidfileWait_ || awaitTick_) return std::nullopt;
    return attemptAt_;
}

bool MonitoredServer::restartDue() const {
    const auto due = attemptDue();
    return due && *due <= context_->clock.now();
}

bool MonitoredServer::waitingForAttempt() const { return attemptAt_ && context_->clock.now() < *attemptAt_; }

std::optional<Clock::TimePoint> MonitoredServer::nextDue() const {
    std::optional<Clock::TimePoint> due = settleAt_;
    auto earliest = [&due](Clock::TimePoint at) {
        if (!due || at < *due) due = at;
    };
    if (stop_) {
        Clock::TimePoint next = stop_->killed ? stop_->giveUpAt : stop_->killAt;
        // The exit watcher tells of the process's end, but not of the rest
        // of its group, nor of anything where it cannot wait.
        if (watchId_ == 0 || stop_->group) next = std::min(next, stop_->nextLook);
        earliest(next);
    }
    if (pidfileWait_) earliest(std::min(pidfileWait_->nextLook, pidfileWait_->until));
    if (cleanup_) earliest(std::min(cleanup_->nextLook, cleanup_->killed ? cleanup_->giveUpAt : cleanup_->killAt));
    if (const auto attempt = attemptDue()) earliest(*attempt);
    if (options_.health && process_ && info_.pid > 0 && !stop_ && !pidfileWait_ && health_.ticket == 0)
        earliest(health_.nextCheck);
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

bool MonitoredServer::launchSliceSpent() const {
    return context_->launchesUntil && context_->launchesThisCall > 0 &&
           std::chrono::steady_clock::now() >= *context_->launchesUntil;
}

void MonitoredServer::putOffLaunch() {
    // This call has launched for long enough: due at the next one.
    attemptAt_ = context_->clock.now();
    awaitTick_ = false;
}

bool MonitoredServer::checkStatus(MachineLook& look, bool tick) {
    // On its way down, or starting through its pidfile: the follow-up
    // decides what comes next.
    if (stop_ || pidfileWait_) return false;
    const std::int32_t oldPid = info_.pid;
    const std::string oldPorts = info_.ports;
    const ServerState oldState = state();
    const std::optional<LastExit> oldExit = lastExit_;
    bool ended = false;
    if (process_) {
        if (process_->exited()) {
            noteEnd();
            ended = !pidfileWait_;
        } else {
            seenAliveAt_ = context_->clock.now();
            // A daemon named by its pidfile may write the file before it
            // has made its own group: its group is looked at again.
            if (groupWanted_ && group_ == 0 && process_->leadsGroup()) group_ = process_->pid();
        }
    }
    auto tell = [&] {
        return info_.pid != oldPid || info_.ports != oldPorts || state() != oldState || !(lastExit_ == oldExit);
    };
    auto down = [&] {
        raise(AlertKind::ServerDown, info_.name + ": service not working，it will be restarted right away!", 0,
              lastExit_ ? lastExit_->reason() : std::string());
    };
    if (pidfileWait_) return true;
    if (cleanup_) {
        // What was left of its group ends first; the restart follows.
        if (ended && autoStart_) down();
        return tell();
    }
    if (!process_ && !ended && autoStart_ && !(awaitTick_ && !tick) && !waitingForAttempt() && launchSliceSpent()) {
        // Put off before the process table is searched for it: with many
        // servers waiting for their launch, searching for each at every
        // call would cost more than the launches themselves.
        putOffLaunch();
        return tell();
    }
    if (!process_) {
        // Nothing held: a process matching the command line is taken as the
        // server's, without an alert (it was replaced, not lost).
        if (findProcess(look) == 0 && ended && autoStart_) down();
    }
    if (!process_ && autoStart_) {
        // A server that died young waits for its back-off step, or with
        // the back-off off for the next tick.
        if ((awaitTick_ && !tick) || waitingForAttempt()) return tell();
        if (launchSliceSpent()) {
            putOffLaunch();
            return tell();
        }
        ++context_->launchesThisCall;
        const bool ok = start();
        AppLogger::Instance().get().info("service is closed, autoStart {} {}", info_.name, ok);
        // start read the start time itself; the address follows when it has settled
        if (ok) return true;
        return tell();
    }
    if (process_ && backoff_.failures > 0 &&
        runningFor() >= std::max<Clock::Duration>(context_->options.restartBackoffMax,
                                                  context_->options.checkInterval)) {
        // Running long enough without dying: the next failure starts afresh.
        backoff_ = Backoff{};
    }
    if (recoveryOwed_ && !autoStart_) recoveryOwed_ = false;  // the operator stopped it
    if (recoveryOwed_ && process_ && info_.pid != 0 && !settleAt_) {
        // Running again for as long as a start must last to count (as the
        // back-off reckons it), not merely started once more.
        const Clock::Duration ran = runningFor();
        if (ran >= std::max<Clock::Duration>(context_->options.restartBackoffMax, context_->options.checkInterval)) {
            recoveryOwed_ = false;
            raise(AlertKind::Recovered,
                  info_.name + " recovered: running again for " + LastExit::durationText(ran) + ", pid=" +
                      std::to_string(info_.pid),
                  info_.pid);
        }
    }
    info_.ports = readListenAddress(look);
    // The start time of a held process cannot change; it is read when the
    // process is first found.
    if (info_.pid != 0 && (info_.pid != oldPid || info_.startTime == 0)) readStartTime(info_.startTime);
    return tell();
}

std::optional<Clock::TimePoint> MonitoredServer::nextRestart() const {
    if (info_.pid != 0 || !autoStart_ || !waitingForAttempt() || !attemptDue()) return std::nullopt;
    return attemptAt_;
}

std::optional<std::int64_t> MonitoredServer::nextRestartTime() const {
    const auto next = nextRestart();
    if (!next) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(*next - context_->clock.now());
    return static_cast<std::int64_t>(std::time(nullptr)) + left.count();
}

void MonitoredServer::resetBackoff() {
    backoff_ = Backoff{};
    attemptAt_.reset();
    awaitTick_ = false;
}

void MonitoredServer::failed(Clock::TimePoint attemptedAt) {
    const Clock::TimePoint now = context_->clock.now();
    if (backoff_.failures == 0) {
        backoff_.firstFailure = now;
        backoff_.restartsAtStart = restarts_;
    }
    ++backoff_.failures;
    const auto max = context_->options.restartBackoffMax;
    if (max.count() <= 0) {
        // Off: one attempt per check.
        attemptAt_.reset();
        awaitTick_ = true;
        return;
    }
    awaitTick_ = false;
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
    attemptAt_ = attemptedAt + wait;
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

bool MonitoredServer::readopt(const RememberedServer& record, bool sameBoot) {
    // A process of another boot cannot run any more; its ID and start may
    // well have been given to another.
    if (!sameBoot || record.pid <= 0) return false;
    std::unique_ptr<platform::ProcessHandle> process;
    const auto identity = platform::processIdentity(record.pid);
    if (identity && *identity == record.startTicks) {
        process = context_->control.open(record.pid);
        if (process && platform::processIdentity(record.pid) != identity) process.reset();
    }
    bool fromPidfile = false;
    if (!process && record.launched && !options_.pidfile.empty()) {
        // The server may have handed over to its daemon, or replaced itself
        // (a new master): the pidfile names it.
        process = daemonFromPidfile(record.startTicks);
        fromPidfile = process != nullptr;
    }
    if (!process) return false;
    const int pid = process->pid();
    std::int64_t started = 0;
    const std::int64_t now = std::time(nullptr);
    const auto age = context_->table.startTime(pid, started) && started < now ? std::chrono::seconds(now - started)
                                                                              : std::chrono::seconds(0);
    // Not a child of this run: its exit status will not be known. One the
    // earlier run launched keeps its group, which a stop and the clean-up
    // after its end still reach by the group's ID.
    hold(std::move(process), context_->clock.now() - age, record.launched,
         record.launched && (fromPidfile || record.group == pid), true);
    // Launched by an earlier run: it still writes to the file that run gave it.
    if (record.launched) capturedIn_ = outputFile_;
    if (fromPidfile)
        AppLogger::Instance().get().info("{} runs as pid {}, named in its pidfile {}; taken over from the previous run",
                                         info_.name, pid, pidfilePath());
    else
        AppLogger::Instance().get().info("{} is still running (pid={}); taken over from the previous run", info_.name,
                                         pid);
    return true;
}

RememberedServer MonitoredServer::remembered() const {
    RememberedServer record;
    record.name = info_.name;
    record.processname = info_.processname;
    record.commandline = info_.commandline;
    record.stopped = !autoStart_;
    if (process_ && info_.pid > 0) {
        record.pid = info_.pid;
        record.startTicks = identity_;
        record.launched = owned_;
        record.group = group_;
    } else if (pidfileWait_) {
        // The launch itself: a later run reads the pidfile, for a daemon
        // that started after it.
        record.pid = pidfileWait_->launchedPid;
        record.startTicks = pidfileWait_->launchIdentity;
        record.launched = true;
    }
    return record;
}

void MonitoredServer::takeRunStateFrom(MonitoredServer& other) {
    info_.pid = other.info_.pid;
    info_.ports = other.info_.ports;
    info_.startTime = other.info_.startTime;
    autoStart_ = other.autoStart_;
    process_ = std::move(other.process_);
    owned_ = other.owned_;
    byThisRun_ = other.byThisRun_;
    group_ = other.group_;
    groupWanted_ = other.groupWanted_;
    identity_ = other.identity_;
    watchId_ = std::exchange(other.watchId_, 0);
    runningSince_ = other.runningSince_;
    settleAt_ = std::exchange(other.settleAt_, std::nullopt);
    stop_ = std::exchange(other.stop_, std::nullopt);
    pidfileWait_ = std::exchange(other.pidfileWait_, std::nullopt);
    cleanup_ = std::exchange(other.cleanup_, std::nullopt);
    restarts_ = other.restarts_;
    exitsByCode_ = other.exitsByCode_;
    exitsBySignal_ = other.exitsBySignal_;
    lastExit_ = other.lastExit_;
    startError_ = other.startError_;
    capturedIn_ = other.capturedIn_;
    backoff_ = other.backoff_;
    attemptAt_ = other.attemptAt_;
    awaitTick_ = other.awaitTick_;
    seenAliveAt_ = other.seenAliveAt_;
    endedAt_ = other.endedAt_;
    lastStartedAt_ = other.lastStartedAt_;
    recoveryOwed_ = other.recoveryOwed_;
    health_ = other.health_;
    options_ = other.options_;  // configure compares the entry's rule with it
}

HealthState MonitoredServer::health() const {
    if (!options_.health) return HealthState::None;
    if (health_.state == HealthState::Unhealthy) return HealthState::Unhealthy;
    if (!process_ || info_.pid <= 0 || stop_) return HealthState::None;
    return health_.state;
}

void MonitoredServer::resetHealth(Clock::TimePoint runningSince) {
    const bool alerted = health_.alerted;
    const std::uint64_t checks = health_.checks;
    health_ = HealthWatch{};
    health_.alerted = alerted;
    health_.checks = checks;
    if (options_.health) health_.nextCheck = std::max(runningSince + options_.health->grace, context_->clock.now());
}

bool MonitoredServer::healthDue(bool gathering) const {
    if (!(options_.health && process_ && info_.pid > 0 && !stop_ && !pidfileWait_ && health_.ticket == 0)) return false;
    const Clock::TimePoint now = context_->clock.now();
    if (now >= health_.nextCheck) return true;
    return gathering && health_.mayGather && now + options_.health->interval / 10 >= health_.nextCheck;
}

bool MonitoredServer::healthCheckNow(HealthCheck& check, std::string& why) const {
    if (!options_.health) {
        why = info_.name + " has no health rule";
        return false;
    }
    if (!process_ || info_.pid <= 0 || stop_) {
        why = info_.name + " is not running";
        return false;
    }
    const HealthRule& rule = *options_.health;
    check = HealthCheck{};
    check.probe = rule.probe;
    check.timeout = rule.timeout;
    check.path = rule.path;
    check.expectLow = rule.expectLow;
    check.expectHigh = rule.expectHigh;
    check.bodyContains = rule.bodyContains;
    check.host = rule.host;
    check.port = rule.port;
    if ((rule.probe == HealthProbe::tcp || rule.probe == HealthProbe::http) && rule.useListenAddress) {
        std::string host;
        std::uint16_t port = 0;
        if (reachableAt(info_.ports, host, port)) {
            check.host = host;
            if (check.port == 0) check.port = port;
        } else {
            check.problem = "no listen address to check";
        }
    }
    if (rule.probe == HealthProbe::exec) {
        // The server's own directory, environment and user; the output
        // goes where the server's own goes.
        check.exec = launchRequest();
        check.exec.commandLine = rule.command;
    }
    check.readMemory = rule.maxMemoryMb > 0;
    check.pid = info_.pid;
    // For a server launched here, its workers count too.
    check.group = group_;
    return true;
}

HealthCheck MonitoredServer::beginHealthCheck(std::uint64_t& ticket) {
    HealthCheck check;
    std::string why;
    healthCheckNow(check, why);
    ticket = ++context_->lastHealthTicket;
    health_.ticket = ticket;
    health_.nextCheck = context_->clock.now() + options_.health->interval;
    health_.mayGather = true;
    return check;
}

bool MonitoredServer::healthResult(const HealthCheckResult& result) {
    health_.ticket = 0;
    if (!options_.health || !process_) return false;
    ++health_.checks;
    const HealthRule& rule = *options_.health;
    const HealthState oldState = health_.state;
    const std::string oldReason = health_.reason;
    if (result.probed) health_.probeFailures = result.healthy ? 0 : health_.probeFailures + 1;
    double mb = 0;
    if (rule.maxMemoryMb > 0 && result.residentBytes) {
        mb = static_cast<double>(*result.residentBytes) / (1024.0 * 1024.0);
        health_.memoryOver = mb > rule.maxMemoryMb ? health_.memoryOver + 1 : 0;
    }
    const bool probeFailed = result.probed && !result.healthy && health_.probeFailures >= rule.failures;
    const bool memoryFailed = rule.maxMemoryMb > 0 && health_.memoryOver >= rule.memoryChecks;
    auto& log = AppLogger::Instance().get();
    if (probeFailed || memoryFailed) {
        health_.reason = probeFailed ? result.seen
                                     : "RSS " + megabytesText(mb) + " > " + megabytesText(rule.maxMemoryMb) + " for " +
                                           plural(health_.memoryOver, "check", "checks");
        if (oldState == HealthState::Unhealthy) return health_.reason != oldReason;
        health_.state = HealthState::Unhealthy;
        health_.alerted = true;
        const bool restart = rule.onFailure == HealthAction::restart && autoStart_;
        const std::string what =
            probeFailed ? " (" + rule.target + ", " + plural(health_.probeFailures, "failed check", "failed checks") +
                              " in a row)"
                        : std::string();
        const std::string message = info_.name + " is unhealthy: " + health_.reason + what +
                                    (restart ? "; it will be restarted" : "; it is left running");
        log.warn("{}", message);
        raise(AlertKind::Unhealthy, message, info_.pid, health_.reason);
        if (restart) {
            const StopOutcome outcome = stop(true);
            if (stop_) stop_->forHealth = true;
            if (outcome == StopOutcome::Stopped && !stop_) {
                // Gone at once: the restart follows as for a crash.
                failed(context_->clock.now());
                if (backoff_.failures == 1) {
                    attemptAt_ = context_->clock.now();
                    awaitTick_ = false;
                }
            }
        }
        return true;
    }
    const bool passed = (!result.probed || result.healthy) && health_.memoryOver == 0;
    if (!passed) return false;  // failing, not yet as often as the rule allows
    health_.state = HealthState::Healthy;
    health_.reason.clear();
    if (health_.alerted) {
        health_.alerted = false;
        const std::string message =
            info_.name + " has recovered: " + (result.probed ? result.seen : "RSS " + megabytesText(mb));
        log.info("{}", message);
        raise(AlertKind::Healthy, message, info_.pid);
    }
    return health_.state != oldState;
}
