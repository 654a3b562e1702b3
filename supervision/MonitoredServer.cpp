#include "supervision/MonitoredServer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <regex>
#include <utility>

#include "log/AppLogger.h"
#include "platform/ExitWatcher.h"
#include "platform/FileStore.h"
#include "platform/ProcessIdentity.h"
#include "platform/ProcessOwner.h"
#include "platform/ProcessTable.h"
#include "platform/SmallFile.h"
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
// How long a daemonizing server has to write its pidfile, and how often the
// file is looked at meanwhile.
constexpr std::chrono::seconds kPidfileWait{5};
constexpr std::chrono::milliseconds kPidfilePoll{100};
// A pidfile holds a number and a line break; anything much larger is not
// one, and is not read into memory.
constexpr std::size_t kPidfileLimit = 4096;
// How far up the process tree a pidfile's process is followed to the launch.
constexpr int kLineageDepth = 64;

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

// Two listen address texts that stand for the same socket: the same text,
// or a wildcard and the port.
bool sameAddress(const std::string& held, const std::string& configured) {
    if (held == configured) return true;
    const auto port = [](const std::string& text) { return text.substr(text.rfind(':') + 1); };
    const auto host = [](const std::string& text) { return text.substr(0, text.rfind(':')); };
    return port(held) == port(configured) && (host(held) == "0.0.0.0" || host(held) == "[::]");
}

const char* causeText(int cause) {
    static const char* const texts[] = {"launched",   "found running", "confirmed",   "start failed", "ended",
                                        "stop asked", "stop ended",    "stop failed", "kept down"};
    return cause >= 0 && cause < static_cast<int>(std::size(texts)) ? texts[cause] : "?";
}

}  // namespace

MonitoredServer::MonitoredServer(SupervisionContext& context) : context_(&context) {}

MonitoredServer::~MonitoredServer() {
    if (run_.held.watchId != 0 && context_->watcher) context_->watcher->unwatch(run_.held.watchId);
    // A stop under way ends with the record: whoever waited for it hears so.
    if (run_.stop)
        for (auto& done : run_.stop->done)
            if (done) context_->completions.push_back([done = std::move(done)] { done(false); });
}

void MonitoredServer::configure(const ServerEntry& entry, const std::string& outputFile) {
    run_.info.index = entry.index;
    run_.info.name = entry.name;
    run_.info.processname = entry.processname;
    run_.info.commandline = entry.commandline;
    // A record that keeps its process across a reload keeps the counts of
    // its health rule, unless the rule itself changed.
    const bool ruleChanged = !(options_.health == entry.options.health);
    options_ = entry.options;
    outputFile_ = options_.output == ServerOutput::discard ? std::string() : outputFile;
    if (ruleChanged && run_.held.process)
        run_.health.restart(options_.health ? &*options_.health : nullptr, run_.held.runningSince,
                            context_->clock.now());
}

// --- What the views show ---

ServerReport MonitoredServer::report() const {
    ServerReport r;
    report(r);
    return r;
}

void MonitoredServer::report(ServerReport& r) const {
    // Every field is assigned, the absent ones emptied: `r` may hold an
    // earlier report, whose strings are reused rather than made anew.
    const ServerInfo& info = run_.info;
    r.index = info.index;
    r.name = info.name;
    r.processname = info.processname;
    r.commandline = info.commandline;
    r.state = state();
    r.autoStart = run_.autoStart;
    r.pid = run_.held.process ? info.pid : 0;
    if (r.pid > 0)
        r.listen = info.ports;
    else
        r.listen.clear();
    r.startTime = r.pid > 0 ? info.startTime : 0;
    r.launches = run_.counts.launches;
    r.restarts = run_.counts.restarts;
    r.exitsByCode = run_.counts.exitsByCode;
    r.exitsBySignal = run_.counts.exitsBySignal;
    r.healthFailures = run_.health.failures();
    if (run_.lastExit) {
        r.exit = run_.lastExit;
        r.lastExit = run_.lastExit->reason();
    } else {
        r.exit.reset();
        r.lastExit.clear();
    }
    r.startError = run_.startError;
    r.outputFile = outputFile_;
    r.outputNote = outputNote();
    r.outputWriter = outputWriter();
    r.health = health();
    if (r.health == HealthState::Unhealthy)
        r.healthReason = run_.health.reason();
    else
        r.healthReason.clear();
    reportClocks(r);
}

void MonitoredServer::reportClocks(ServerReport& r) const {
    const Clock::TimePoint now = context_->clock.now();
    r.uptime = runningFor(now);
    r.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(r.uptime).count();
    r.nextAttempt = 0;
    r.nextAttemptIn.reset();
    if (const auto next = nextRestart()) {
        r.nextAttemptIn = std::max<Clock::Duration>(*next - now, Clock::Duration::zero());
        // Rounded up: the attempt never reads as earlier than it comes.
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*r.nextAttemptIn).count();
        r.nextAttempt = context_->clock.secondsSince1970() + (ms + 999) / 1000;
    }
    r.killIn.reset();
    if (const auto killAt = killDue()) r.killIn = std::max<Clock::Duration>(*killAt - now, Clock::Duration::zero());
}

std::string MonitoredServer::outputNote() const {
    if (options_.output == ServerOutput::discard) return "its output is discarded (\"output\": \"discard\")";
    if (outputFile_.empty()) return "its output is not kept (no output directory)";
    if (run_.held.process && run_.held.capturedIn.empty())
        return "it was found running, not started by this Procward: its output is not captured";
    return {};
}

HealthState MonitoredServer::health() const {
    if (!options_.health) return HealthState::None;
    if (run_.health.state() == HealthState::Unhealthy) return HealthState::Unhealthy;
    if (!run_.held.process || run_.info.pid <= 0 || run_.stop) return HealthState::None;
    return run_.health.state();
}

Clock::Duration MonitoredServer::runningFor() const { return runningFor(context_->clock.now()); }

Clock::Duration MonitoredServer::runningFor(Clock::TimePoint now) const {
    if (!run_.held.process || run_.info.pid == 0) return Clock::Duration::zero();
    return now - run_.held.runningSince;
}

std::optional<Clock::TimePoint> MonitoredServer::nextRestart() const {
    if (run_.info.pid != 0 || !run_.autoStart || !waitingForAttempt() || !attemptDue()) return std::nullopt;
    return run_.backoff.attemptAt();
}

std::optional<std::int64_t> MonitoredServer::nextRestartTime() const {
    const auto next = nextRestart();
    if (!next) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - context_->clock.now()).count();
    return context_->clock.secondsSince1970() + (left + 999) / 1000;
}

// --- The lifecycle ---

ServerState MonitoredServer::downState() const {
    if (!run_.autoStart || run_.backoff.failures() == 0) return ServerState::Stopped;
    // The first failure of a streak is tried again as any check would; from
    // the second on, with the back-off on, the waits grow.
    return run_.backoff.failures() >= 2 && context_->options.restartBackoffMax.count() > 0 ? ServerState::Backoff
                                                                                           : ServerState::Failing;
}

void MonitoredServer::shown() const {
    if (context_->tell) context_->tell(*this);
}

void MonitoredServer::enter(ServerState next, Cause cause) {
    auto& log = AppLogger::Instance().get();
    const ServerState from = state();
    if (!run_.life.enter(next, context_->clock.now())) {
        log.error("{}: no transition from {} to {} ({}); it stays {}", run_.info.name, serverStateName(from),
                  serverStateName(next), causeText(static_cast<int>(cause)), serverStateName(from));
        return;
    }
    if (from != next)
        log.debug("{}: {} -> {} ({})", run_.info.name, serverStateName(from), serverStateName(next),
                  causeText(static_cast<int>(cause)));
    switch (cause) {
        case Cause::Launched:
            // Without a confirmation time a start is told at once, as soon
            // as the server's own process is known (a daemon's is named by
            // its pidfile later).
            if (context_->options.startConfirm.count() <= 0 && options_.pidfile.empty() && !run_.held.process->exited())
                announceStart();
            break;
        case Cause::Confirmed:
            if (!run_.announced) announceStart();
            break;
        case Cause::Ended:
            // Gone by itself while it should run; a restart follows.
            if (run_.autoStart)
                raise(AlertKind::ServerDown, run_.info.name + ": service not working，it will be restarted right away!",
                      0, run_.lastExit ? run_.lastExit->reason() : std::string());
            break;
        case Cause::StopEnded:
            if (next == ServerState::Stopped && !run_.autoStart)
                raise(AlertKind::Stopped, run_.info.name + " was stopped by the operator", 0,
                      run_.lastExit ? run_.lastExit->reason() : std::string());
            break;
        default: break;
    }
    shown();
}

void MonitoredServer::announceStart() {
    run_.announced = true;
    raise(run_.restartLaunch ? AlertKind::Restarted : AlertKind::Started,
          run_.info.name + " started successfully: pid=" + std::to_string(run_.info.pid), run_.info.pid);
}

void MonitoredServer::raise(AlertKind kind, std::string message, std::int32_t pid, std::string reason,
                            bool withOutput) {
    AlertEvent event;
    event.kind = kind;
    event.index = run_.info.index;
    event.name = run_.info.name;
    event.pid = pid;
    event.time = context_->clock.secondsSince1970();
    event.at = context_->clock.now();
    event.message = std::move(message);
    event.subject = kAlertSubject;
    event.reason = std::move(reason);
    // Whoever heard that it failed hears when it runs again.
    if (kind == AlertKind::ServerDown || kind == AlertKind::StartFailed || kind == AlertKind::BackoffMax)
        run_.recoveryOwed = true;
    if (kind == AlertKind::BackoffMax && event.reason.empty())
        event.reason = !run_.startError.empty() ? run_.startError
                       : run_.lastExit          ? run_.lastExit->reason()
                                                : std::string();
    if ((withOutput || kind == AlertKind::ServerDown || kind == AlertKind::BackoffMax) && run_.lastExit) {
        event.outputFile = run_.lastExit->outputFile;
        if (!event.outputFile.empty())
            event.outputEnd = ServerOutputFile::size(event.outputFile);
        else if (!run_.lastExit->launchedHere)
            event.outputNote = "it was not started by this Procward: its output is not captured";
        else
            event.outputNote = outputNote();
    }
    const std::vector<AlertSink*> sinks = context_->alertSinks;
    for (AlertSink* sink : sinks) sink->alert(event);
}

bool MonitoredServer::setAutoStart(bool on) {
    if (run_.autoStart == on) return false;
    run_.autoStart = on;
    touched();
    if (on)
        AppLogger::Instance().get().info("Enabled autoStart mode for {}", run_.info.name);
    else
        AppLogger::Instance().get().info("Disabled autoStart mode for {}", run_.info.name);
    if (!on && !run_.held.process && !run_.pidfileWait) {
        // Kept down: its streak of failures is over.
        run_.backoff.reset();
        enter(ServerState::Stopped, Cause::KeptDown);
    }
    return true;
}

void MonitoredServer::keepDownFromLastRun() {
    run_.autoStart = false;
    touched();
}

void MonitoredServer::startAgain(MachineLook& look) {
    run_.autoStart = true;
    touched();
    resetBackoff();
    checkStatus(look);
}

// --- The process held ---

void MonitoredServer::recordExit(const LastExit& exit) {
    run_.lastExit = exit;
    if (!exit.status) return;
    ++(exit.status->how == platform::ExitStatus::How::Code ? run_.counts.exitsByCode : run_.counts.exitsBySignal);
}

void MonitoredServer::note(const std::string& text) const {
    if (!run_.held.capturedIn.empty())
        ServerOutputFile::appendNote(run_.held.capturedIn, context_->clock.secondsSince1970(), text);
}

void MonitoredServer::hold(std::unique_ptr<platform::ProcessHandle> process, Clock::TimePoint runningSince, bool owned,
                           bool withGroup, bool seenAlive) {
    release();
    Held& held = run_.held;
    held.process = std::move(process);
    run_.info.pid = held.process->pid();
    held.runningSince = runningSince;
    held.owned = owned;
    held.byThisRun = false;
    // Only a group the server leads, and only one that came with a launch:
    // a process found running may share its group with anything.
    held.groupWanted = withGroup;
    held.group = withGroup && held.process->leadsGroup() ? held.process->pid() : 0;
    // A launched process may have ended already (a daemon's starter does
    // at once); its start is still known while it is held.
    held.identity = (held.process->launchedHere() ? platform::heldProcessIdentity(run_.info.pid)
                                                  : platform::processIdentity(run_.info.pid))
                        .value_or(0);
    held.seenAliveAt = seenAlive ? context_->clock.now() : runningSince;
    held.endedAt.reset();
    run_.everHeld = true;
    run_.health.restart(options_.health ? &*options_.health : nullptr, runningSince, context_->clock.now());
    if (context_->watcher) {
        const std::uint64_t id = ++context_->lastWatchId;
        if (context_->watcher->watch(id, *held.process)) held.watchId = id;
    }
    touched();
}

void MonitoredServer::release() {
    if (run_.held.watchId != 0 && context_->watcher) context_->watcher->unwatch(run_.held.watchId);
    run_.held = Held{};
    run_.settleAt.reset();
    run_.confirmAt.reset();
    run_.info.pid = 0;
    run_.info.ports.clear();
    // A check under way is for a process that is gone: its result is
    // dropped. The verdict stays while the rule itself restarts the server.
    run_.health.processGone(run_.stop && run_.stop->why == StopFor::Health);
    touched();
}

std::int32_t MonitoredServer::findProcess(MachineLook& look) {
    MatchKeys keys;
    const bool formed = formMatchKeys(run_.info.processname, run_.info.commandline, keys);
    std::int32_t found = 0;
    bool fromPidfile = false;
    // The process its pidfile names, when it is this server's program.
    if (!options_.pidfile.empty()) {
        const int named = pidNamedByPidfile();
        if (named > 0 && formed)
            for (const platform::ProcessEntry* entry : look.candidates(keys.fileNames))
                if (entry->pid == named) {
                    // Not launched by this run: its program and its user
                    // are what tell the server's own process.
                    if (const std::string why = refusalOf(named, 0, 0); !why.empty()) {
                        reportRefusal(named, "its pidfile " + pidfilePath(), why);
                        break;
                    }
                    found = named;
                    fromPidfile = true;
                }
    }
    // A server that rewrites its arguments: by the text of its command line,
    // or by the socket it holds.
    if (!found && formed && (!options_.match.empty() || !options_.listen.empty())) {
        const std::regex pattern(options_.match.empty() ? std::string(".") : options_.match, std::regex::ECMAScript);
        for (const platform::ProcessEntry* entry : look.candidates(keys.fileNames)) {
            std::string text;
            if (!options_.match.empty() &&
                !(look.table().commandLine(entry->pid, text) && std::regex_search(text, pattern)))
                continue;
            if (!options_.listen.empty()) {
                std::vector<platform::TcpListener> listeners;
                look.listenersOf(entry->pid, listeners);
                const bool holds = std::any_of(listeners.begin(), listeners.end(), [&](const platform::TcpListener& l) {
                    return sameAddress(listenText(l), options_.listen);
                });
                if (!holds) continue;
            }
            found = entry->pid;
            break;
        }
    }
    if (!found && formed) found = findServerProcess(look, keys);
    if (found == 0) return 0;
    std::unique_ptr<platform::ProcessHandle> process = context_->control.open(found);
    if (!process) return 0;  // ended in between
    std::int64_t started = 0;
    const std::int64_t now = std::time(nullptr);
    const auto age = context_->table.startTime(found, started) && started < now ? std::chrono::seconds(now - started)
                                                                                : std::chrono::seconds(0);
    // Found, not launched: it is signalled alone, and how it ends is not
    // for this supervisor to learn.
    hold(std::move(process), context_->clock.now() - age, false, false, true);
    run_.held.fromPidfile = fromPidfile;
    if (fromPidfile)
        AppLogger::Instance().get().info("{} runs as pid {}, named in its pidfile {}", run_.info.name, found,
                                         pidfilePath());
    enter(ServerState::Running, Cause::Found);
    return found;
}

int MonitoredServer::pidNamedByPidfile() {
    std::string text;
    std::string reason;
    const platform::SmallFileRead read = platform::readSmallFile(pidfilePath(), kPidfileLimit, text, reason);
    auto& log = AppLogger::Instance().get();
    if (read == platform::SmallFileRead::ok || read == platform::SmallFileRead::missing) {
        if (!run_.pidfileProblem.empty()) {
            run_.pidfileProblem.clear();
            log.info("{}: its pidfile {} is read again", run_.info.name, pidfilePath());
        }
        return read == platform::SmallFileRead::ok ? pidOfText(text) : 0;
    }
    // A server (or whoever may write where its pidfile is) can put a FIFO,
    // a device or a huge file there: it is not read, and said once.
    if (reason != run_.pidfileProblem) {
        run_.pidfileProblem = reason;
        log.error("{}: its pidfile {} is not read: {}", run_.info.name, pidfilePath(), reason);
    }
    return 0;
}

const std::string& MonitoredServer::serverAccount() {
    if (!accountFor_ || *accountFor_ != options_.user) {
        accountFor_ = options_.user;
        account_ = platform::accountOf(options_.user);
    }
    return account_;
}

std::string MonitoredServer::refusalOf(int pid, int launchedPid, std::uint64_t launchIdentity) {
    const std::string& wanted = serverAccount();
    if (wanted.empty()) return "the user '" + options_.user + "' of the server is unknown";
    const std::string account = platform::processAccount(pid);
    if (account.empty()) return "its user cannot be read";
    if (account != wanted) return "it runs as user " + account + ", not as the server's user " + wanted;
    if (launchedPid <= 0) {
        MatchKeys keys;
        if (!formMatchKeys(run_.info.processname, run_.info.commandline, keys) ||
            !runsServerProgram(context_->table, pid, keys))
            return "it does not run the server's program";
        return {};
    }
    // The launched process itself, one of its descendants, or an orphan
    // that the system handed to this supervisor (it is a child subreaper):
    // whatever a daemonizing server leaves behind is one of these. A
    // process under another server's process is that server's.
    const int self = platform::currentProcessId();
    int at = pid;
    for (int depth = 0; depth < kLineageDepth && at > 0; ++depth) {
        if (at == launchedPid) {
            // Still the launch, not a later process given its ID (where the
            // launch has ended and cannot be asked, its ID is all there is).
            const auto identity = platform::heldProcessIdentity(at);
            if (!identity || *identity == launchIdentity) return {};
            break;
        }
        const int parent = platform::parentProcessId(at);
        if (parent == self) {
            if (context_->heldElsewhere && context_->heldElsewhere(at))
                return "it belongs to another server's process (pid " + std::to_string(at) + ")";
            return {};
        }
        if (parent == at) break;
        at = parent;
    }
    return "it neither descends from the launched process (pid " + std::to_string(launchedPid) +
           ") nor was left to Procward";
}

void MonitoredServer::reportRefusal(int pid, const std::string& source, const std::string& why) {
    if (run_.refusedPid == pid) return;
    run_.refusedPid = pid;
    AppLogger::Instance().get().error("{}: pid {} named in {} is not taken for the server: {}", run_.info.name, pid,
                                      source, why);
}

platform::LaunchRequest MonitoredServer::launchRequest() const {
    platform::LaunchRequest request;
    request.commandLine = run_.info.commandline;
    // Empty: the directory of the program that is run.
    request.workingDirectory = options_.cwd;
    request.environment = options_.env;
    request.user = options_.user;
    request.group = options_.group;
    request.outputFile = outputFile_;
    request.outputWriter = context_->options.outputWriter;
    request.outputMaxBytes = context_->options.outputMaxBytes;
    request.outputBackups = context_->options.outputBackups;
    return request;
}

bool MonitoredServer::start() {
    run_.autoStart = true;
    touched();
    auto& log = AppLogger::Instance().get();
    log.debug("Enabled autoStart mode for {}", run_.info.name);
    // Running, or on its way: a daemon's pidfile is awaited.
    if (run_.info.pid >= 1 || run_.pidfileWait) {
        return false;
    }
    const Clock::TimePoint now = context_->clock.now();
    if (run_.cleanup) {
        // What was left of the last process goes first; the start follows.
        run_.backoff.attemptNow(now);
        return false;
    }
    run_.backoff.clearAttempt();

    platform::LaunchFailure failure;
    platform::LaunchRequest request = launchRequest();
    std::unique_ptr<platform::ProcessHandle> process = context_->control.start(request, failure);
    if (!process && failure.outputFile) {
        // A log directory that cannot be written keeps no server down: it
        // runs, its output discarded.
        log.error("{}: {}; its output is discarded", run_.info.name, failure.text);
        request.outputFile.clear();
        process = context_->control.start(request, failure);
    }
    if (!process) {
        run_.startError = failure.text;
        log.error("{} could not be started: {}", run_.info.name, failure.text);
        const RestartBackoff::Step step = run_.backoff.failed(
            now, now, run_.counts.launches, context_->options.checkInterval, context_->options.restartBackoffMax);
        enter(downState(), Cause::StartFailed);
        raise(AlertKind::StartFailed, run_.info.name + " could not be started: " + failure.text, 0,
              failure.error != 0 ? systemError(failure.error) : failure.text);
        reportMaximum(step);
        return false;
    }
    run_.startError.clear();
    ++run_.counts.launches;
    run_.restartLaunch = run_.everHeld;
    if (run_.restartLaunch) ++run_.counts.restarts;
    run_.announced = false;
    // Held from this moment: whatever it execs or calls itself, this is the
    // server until it exits.
    hold(std::move(process), now, true, true, false);
    run_.held.byThisRun = true;
    run_.held.capturedIn = request.outputFile;
    run_.held.outputWriter = run_.held.process->outputWriter();
    note("started pid " + std::to_string(run_.info.pid));
    readStartTime(run_.info.startTime);
    // The listen address is read once the server has had a moment to open
    // its sockets, and the start counts once it has lived the confirmation
    // time; the loop goes on meanwhile.
    run_.settleAt = now + kSettleTime;
    run_.confirmAt = now + context_->options.startConfirm;
    enter(ServerState::Starting, Cause::Launched);
    if (run_.held.process->exited()) {
        // Gone already: nothing started successfully (unless it handed over
        // to a daemon, which its pidfile names).
        noteEnd();
        return run_.pidfileWait.has_value();
    }
    return true;
}

void MonitoredServer::settle(MachineLook& look) {
    if (!run_.settleAt || context_->clock.now() < *run_.settleAt) return;
    run_.settleAt.reset();
    if (run_.info.pid <= 0) return;
    run_.info.ports = readListenAddress(look);
    if (!run_.info.ports.empty()) run_.lastListen = run_.info.ports;
    readStartTime(run_.info.startTime);
    // The server's console host is kept: it is what carries a Ctrl-Break to
    // a console server, so that a stop lets it save.
}

void MonitoredServer::confirm() {
    if (state() != ServerState::Starting || !run_.held.process || run_.settleAt || !run_.confirmAt) return;
    const Clock::TimePoint now = context_->clock.now();
    if (now < *run_.confirmAt) return;
    if (run_.held.process->exited()) return;  // the check that follows learns how it ended
    if (!options_.pidfile.empty() && !run_.held.fromPidfile) {
        // A server with a pidfile has started once the file names it; a
        // starter that has not handed over yet, or fails, is still starting.
        if (pidNamedByPidfile() == run_.info.pid) {
            run_.held.fromPidfile = true;
        } else if (now < run_.held.runningSince + kPidfileWait) {
            run_.confirmAt = now + kPidfilePoll;
            return;
        } else {
            AppLogger::Instance().get().warn(
                "{} runs (pid={}) but its pidfile {} does not name it after {} s; taken as started", run_.info.name,
                run_.info.pid, pidfilePath(), kPidfileWait.count());
        }
    }
    run_.confirmAt.reset();
    enter(ServerState::Running, Cause::Confirmed);
}

std::string MonitoredServer::pidfilePath() const { return options_.pidfile; }

std::unique_ptr<platform::ProcessHandle> MonitoredServer::daemonFromPidfile(std::uint64_t notBefore, int launchedPid) {
    const int pid = pidNamedByPidfile();
    if (pid <= 0) return nullptr;
    // A pidfile left by an earlier run names a process that has ended, or,
    // once its ID has been given again, one that started before the launch.
    const auto identity = platform::processIdentity(pid);
    // Without the launch's own start there is no telling an old process
    // from the daemon: none is taken, and the wait runs out with a reason.
    if (!identity || notBefore == 0 || *identity < notBefore) return nullptr;
    // Started after the launch is not enough: anyone's process may be.
    if (const std::string why = refusalOf(pid, launchedPid, notBefore); !why.empty()) {
        reportRefusal(pid, "its pidfile " + pidfilePath(), why);
        return nullptr;
    }
    std::unique_ptr<platform::ProcessHandle> process = context_->control.open(pid);
    // Opened after the look at its identity: still the same process?
    if (!process || platform::processIdentity(pid) != identity) return nullptr;
    return process;
}

void MonitoredServer::followPidfile() {
    if (!run_.pidfileWait) return;
    const Clock::TimePoint now = context_->clock.now();
    if (now < run_.pidfileWait->nextLook) return;
    run_.pidfileWait->nextLook = now + kPidfilePoll;
    auto& log = AppLogger::Instance().get();
    if (std::unique_ptr<platform::ProcessHandle> daemon =
            daemonFromPidfile(run_.pidfileWait->launchIdentity, run_.pidfileWait->launchedPid)) {
        const Clock::TimePoint launchedAt = run_.pidfileWait->launchedAt;
        const std::string capturedIn = run_.pidfileWait->capturedIn;
        const int outputWriter = run_.pidfileWait->outputWriter;
        run_.pidfileWait.reset();
        // Its run counts from the launch: a daemon that dies young is a
        // failed start like any other. Its group is its own, when it leads one.
        hold(std::move(daemon), launchedAt, true, true, false);
        run_.held.byThisRun = true;
        run_.held.fromPidfile = true;
        run_.held.capturedIn = capturedIn;
        run_.held.outputWriter = outputWriter;
        note("runs as pid " + std::to_string(run_.info.pid) + ", named in its pidfile");
        readStartTime(run_.info.startTime);
        // Its sockets are open by now: read them at once; the start counts
        // once the confirmation time from the launch has passed.
        run_.settleAt = now;
        run_.confirmAt = launchedAt + context_->options.startConfirm;
        log.info("{} runs as pid {}, named in its pidfile {}", run_.info.name, run_.info.pid, pidfilePath());
        if (!run_.autoStart) stop(false);  // the operator stopped it while it was starting
        return;
    }
    if (now < run_.pidfileWait->until) return;
    const PidfileWait wait = *run_.pidfileWait;
    run_.pidfileWait.reset();
    touched();
    const std::string problem = "its pidfile " + pidfilePath() + " named no running process within " +
                                std::to_string(kPidfileWait.count()) + " s";
    log.error("{} was started, but {}", run_.info.name, problem);
    run_.lastExit = wait.handover;
    run_.lastExit->detail = problem;
    run_.startError = problem;
    const RestartBackoff::Step step =
        run_.backoff.failed(wait.launchedAt, now, run_.counts.launches, context_->options.checkInterval,
                            context_->options.restartBackoffMax);
    if (!run_.autoStart) {
        // The operator stopped it meanwhile: it stays down, nothing to tell.
        run_.backoff.reset();
        enter(ServerState::Stopped, Cause::StartFailed);
        return;
    }
    enter(downState(), Cause::StartFailed);
    raise(AlertKind::StartFailed, run_.info.name + " could not be started: " + problem, 0, problem);
    reportMaximum(step);
}

std::string MonitoredServer::otherCopy(MachineLook& look) const {
    const std::string address = !options_.listen.empty() ? options_.listen : run_.lastListen;
    MatchKeys keys;
    if (address.empty() || !formMatchKeys(run_.info.processname, run_.info.commandline, keys)) return {};
    const std::string port = address.substr(address.rfind(':') + 1);
    for (const platform::ProcessEntry* entry : look.candidates(keys.fileNames)) {
        std::vector<platform::TcpListener> listeners;
        if (!look.listenersOf(entry->pid, listeners)) continue;
        for (const platform::TcpListener& listener : listeners)
            if (std::to_string(listener.localPort) == port)
                return "another copy seems to run: pid " + std::to_string(entry->pid) + " holds " +
                       listenText(listener);
    }
    return {};
}

void MonitoredServer::noteEnd(MachineLook* look) {
    auto& log = AppLogger::Instance().get();
    const Clock::TimePoint now = context_->clock.now();
    Held& held = run_.held;
    const Clock::TimePoint endedAt = held.endedAt.value_or(now);
    const bool launchedHere = held.process->launchedHere();
    const std::optional<platform::ExitStatus> status =
        launchedHere ? held.process->exitStatus() : std::optional<platform::ExitStatus>();
    const Clock::Duration ran = endedAt - held.runningSince;
    const bool starting = state() == ServerState::Starting;

    LastExit exit;
    exit.status = status;
    exit.launchedHere = held.byThisRun;
    exit.time = context_->clock.secondsSince1970();
    exit.ran = ran;
    exit.outputFile = held.capturedIn;

    if (starting && launchedHere && !options_.pidfile.empty() && status &&
        status->how == platform::ExitStatus::How::Code && status->value == 0) {
        // A daemonizing start: the launched process has handed over to the
        // server it started, whose PID comes from the pidfile. It is still
        // starting.
        PidfileWait wait;
        wait.until = now + kPidfileWait;
        wait.nextLook = now;
        wait.launchedAt = held.runningSince;
        wait.launchedPid = run_.info.pid;
        wait.launchIdentity = held.identity;
        wait.handover = exit;
        wait.capturedIn = held.capturedIn;
        wait.outputWriter = held.outputWriter;
        ++run_.counts.exitsByCode;
        note("exited with code 0; the server's pid comes from its pidfile");
        log.info("{} (pid={}) exited with code 0; its server's pid is read from {}", run_.info.name, run_.info.pid,
                 pidfilePath());
        release();
        run_.pidfileWait = wait;
        followPidfile();
        return;
    }

    recordExit(exit);
    log.warn("{}", exit.logLine(run_.info.name));
    note(exit.summary());
    // It lived less than an interval: a start that failed. Where the exit
    // watcher did not tell when it ended, what the checks saw counts: it
    // lived at least until the last one that found it alive.
    const Clock::Duration lived = held.endedAt ? ran : held.seenAliveAt - held.runningSince;
    const bool young = lived < context_->options.checkInterval;
    run_.lastStartedAt = held.runningSince;
    if (held.groupWanted && held.group == 0 && held.process->leadsGroup()) held.group = held.process->pid();
    std::unique_ptr<platform::ProcessHandle> leader = std::move(held.process);
    const bool withGroup = held.group != 0 && options_.killGroup;
    release();
    run_.info.startTime = 0;
    if (withGroup) beginCleanup(std::move(leader));
    if (!run_.autoStart) {
        enter(ServerState::Stopped, Cause::Ended);
        return;
    }
    if (starting && !run_.announced) {
        // It died before it counted as started: a failed start, never told
        // as a start nor as the end of a running server. Where another
        // process of its program holds its port, that is most likely why.
        if (look)
            if (const std::string other = otherCopy(*look); !other.empty()) {
                exit.detail = other;
                run_.lastExit->detail = other;
                AppLogger::Instance().get().warn("{}: {}", run_.info.name, other);
            }
        const RestartBackoff::Step step =
            run_.backoff.failed(run_.lastStartedAt, now, run_.counts.launches, context_->options.checkInterval,
                                context_->options.restartBackoffMax);
        enter(downState(), Cause::StartFailed);
        raise(AlertKind::StartFailed, run_.info.name + " could not be started: it " + exit.summary(), 0, exit.reason(),
              true);
        reportMaximum(step);
    } else if (young) {
        const RestartBackoff::Step step =
            run_.backoff.failed(run_.lastStartedAt, now, run_.counts.launches, context_->options.checkInterval,
                                context_->options.restartBackoffMax);
        enter(downState(), Cause::Ended);
        reportMaximum(step);
    } else {
        // It ran long enough: started again as soon as nothing holds it.
        run_.backoff.attemptNow(now);
        enter(ServerState::Stopped, Cause::Ended);
    }
}

void MonitoredServer::reportMaximum(const RestartBackoff::Step& step) {
    if (!step.reachedMaximum) return;
    const auto minutes =
        std::chrono::duration_cast<std::chrono::minutes>(context_->clock.now() - step.streakBegan).count();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(step.wait).count();
    raise(AlertKind::BackoffMax, run_.info.name + " keeps failing: " + std::to_string(step.launchesInStreak) +
                                     " restarts in " + std::to_string(minutes) + " minutes; next attempt in " +
                                     std::to_string(seconds) + " s");
}

void MonitoredServer::beginCleanup(std::unique_ptr<platform::ProcessHandle> leader) {
    const int members = leader->groupSize();
    if (members <= 0) return;
    Cleanup cleanup;
    int error = 0;
    cleanup.escalation.begin(*leader, true, stopSignal(), stopTimeout(), context_->clock.now(), error);
    cleanup.leader = std::move(leader);
    cleanup.members = members;
    run_.cleanup = std::move(cleanup);
}

void MonitoredServer::followCleanup() {
    if (!run_.cleanup) return;
    Cleanup& cleanup = *run_.cleanup;
    const Clock::TimePoint now = context_->clock.now();
    if (cleanup.escalation.resting(now)) return;
    auto& log = AppLogger::Instance().get();
    const int left = cleanup.leader->groupSize();
    if (left == 0) {
        log.info("{}: ended {} of its group", run_.info.name,
                 plural(cleanup.members, "leftover process", "leftover processes"));
        run_.cleanup.reset();
        return;
    }
    if (cleanup.escalation.follow(*cleanup.leader, now) == StopEscalation::Step::GaveUp) {
        log.error("{}: {} of its group did not end after they were killed", run_.info.name,
                  plural(left, "leftover process", "leftover processes"));
        run_.cleanup.reset();
    }
}

// --- Stops ---

Clock::Duration MonitoredServer::stopTimeout() const {
    return options_.stopTimeout ? Clock::Duration(*options_.stopTimeout)
                                : Clock::Duration(context_->options.stopTimeout);
}

platform::StopSignal MonitoredServer::stopSignal() const {
    return options_.stopSignal.value_or(platform::StopSignal::Graceful);
}

platform::SignalResult MonitoredServer::sendSignal(platform::StopSignal kind, bool group, int& error) {
    if (!run_.held.process || run_.info.pid == 0) {
        error = 0;
        return platform::SignalResult::Gone;
    }
    Held& held = run_.held;
    if (held.groupWanted && held.group == 0 && held.process->leadsGroup()) held.group = held.process->pid();
    return held.process->raise(kind, group && held.group != 0, error);
}

StopOutcome MonitoredServer::stop(bool keepAutoStart, std::function<void(bool)> done,
                                  std::optional<Clock::Duration> timeout, StopFor why) {
    if (run_.info.pid == 0 || !run_.held.process) return StopOutcome::NotRunning;
    auto& log = AppLogger::Instance().get();
    if (run_.stop) {
        // Already on its way down: the newer wish for auto-start counts.
        run_.autoStart = keepAutoStart;
        touched();
        if (!keepAutoStart) log.info("Disabled autoStart mode for {}", run_.info.name);
        if (done) run_.stop->done.push_back(std::move(done));
        return StopOutcome::Stopping;
    }
    Held& held = run_.held;
    // The group only where it came with a launch and may be ended with it.
    if (held.groupWanted && held.group == 0 && held.process->leadsGroup()) held.group = held.process->pid();
    const bool group = held.group != 0 && options_.killGroup;
    const Clock::TimePoint now = context_->clock.now();
    PendingStop pending;
    int error = 0;
    const platform::SignalResult result =
        pending.escalation.begin(*held.process, group, stopSignal(), timeout.value_or(stopTimeout()), now, error);
    if (result == platform::SignalResult::NotPermitted) {
        log.error("{} cannot be stopped (pid={}): {}", run_.info.name, run_.info.pid, systemError(error));
        return StopOutcome::Failed;
    }
    run_.autoStart = keepAutoStart;
    touched();
    if (!keepAutoStart) log.info("Disabled autoStart mode for {}", run_.info.name);
    if (result == platform::SignalResult::Failed) {
        log.error("{} cannot be stopped (pid={}): {}", run_.info.name, run_.info.pid, systemError(error));
        return StopOutcome::Failed;
    }
    if (done) pending.done.push_back(std::move(done));
    pending.why = why;
    run_.stop = std::move(pending);
    run_.health.cancel();  // nothing more is learnt from a check of a process on its way out
    enter(ServerState::Stopping, Cause::StopAsked);
    if (result == platform::SignalResult::Gone || (held.process->exited() && groupGone())) {
        finishStop(true);
        return StopOutcome::Stopped;
    }
    return StopOutcome::Stopping;
}

StopOutcome MonitoredServer::kill(std::function<void(bool)> done) {
    if (run_.info.pid == 0 || !run_.held.process) return StopOutcome::NotRunning;
    // A stop with no time to end by itself kills at once.
    if (!run_.stop) return stop(false, std::move(done), Clock::Duration::zero());
    const StopOutcome outcome = stop(false, std::move(done));
    // The stop under way waits no longer for its time-out; the wait for the
    // killed process keeps its length.
    if (run_.stop && !run_.stop->escalation.killed()) {
        run_.stop->escalation.expire(context_->clock.now());
        run_.stop->killAsked = true;
        followStop();
    }
    return outcome;
}

bool MonitoredServer::groupGone() {
    // Live members only: the remains of a member whose parent has not
    // collected them yet do not hold a stop up.
    const auto& process = run_.held.process;
    return !process || !run_.stop || !run_.stop->escalation.group() ||
           (!process->groupRunning() || process->groupSize() == 0);
}

void MonitoredServer::followStop() {
    if (!run_.stop) return;
    platform::ProcessHandle& process = *run_.held.process;
    if (process.exited() && groupGone()) {
        finishStop(true);
        return;
    }
    auto& log = AppLogger::Instance().get();
    switch (run_.stop->escalation.follow(process, context_->clock.now())) {
        case StopEscalation::Step::Killed:
            if (!run_.stop->killAsked)
                log.warn("{} did not end within the stop time-out; killing it (pid={})", run_.info.name, run_.info.pid);
            if (process.exited() && groupGone()) finishStop(true);
            break;
        case StopEscalation::Step::GaveUp:
            log.error("{} did not end after it was killed (pid={})", run_.info.name, run_.info.pid);
            finishStop(false);
            break;
        case StopEscalation::Step::Waiting: break;
    }
}

void MonitoredServer::finishStop(bool ok) {
    std::vector<std::function<void(bool)>> done = std::move(run_.stop->done);
    const StopFor why = run_.stop->why;
    if (!ok) {
        run_.stop.reset();
        enter(ServerState::Running, Cause::StopFailed);
    } else {
        if (run_.held.process && run_.held.process->exited()) {
            LastExit exit;
            exit.launchedHere = run_.held.byThisRun;
            if (run_.held.process->launchedHere()) exit.status = run_.held.process->exitStatus();
            exit.time = context_->clock.secondsSince1970();
            exit.ran = context_->clock.now() - run_.held.runningSince;
            exit.outputFile = run_.held.capturedIn;
            recordExit(exit);
            AppLogger::Instance().get().info("{}", exit.logLine(run_.info.name));
            note(exit.summary());
        }
        release();
        run_.stop.reset();
        run_.info.startTime = 0;
        const Clock::TimePoint now = context_->clock.now();
        if (why == StopFor::Health && run_.autoStart) {
            // Stopped by its health rule: a failure like a crash, so a server
            // that keeps failing its rule backs off; the first restart of a
            // streak comes at once.
            const RestartBackoff::Step step = run_.backoff.failed(
                now, now, run_.counts.launches, context_->options.checkInterval, context_->options.restartBackoffMax);
            if (step.failures == 1) run_.backoff.attemptNow(now);
            enter(downState(), Cause::StopEnded);
            reportMaximum(step);
        } else {
            // Stopped on purpose: no failure streak goes on. A changed entry
            // starts with its new definition at once.
            run_.backoff.reset();
            if (why == StopFor::Change && run_.autoStart) run_.backoff.attemptNow(now);
            enter(ServerState::Stopped, Cause::StopEnded);
        }
    }
    for (auto& callback : done)
        if (callback) context_->completions.push_back([callback = std::move(callback), ok] { callback(ok); });
}

void MonitoredServer::watchEnded() {
    // Only the watch is spent; the check that follows learns the rest.
    run_.held.watchId = 0;
    run_.held.endedAt = context_->clock.now();
}

// --- Restarts ---

std::optional<Clock::TimePoint> MonitoredServer::attemptDue() const {
    if (run_.held.process || !run_.autoStart || run_.stop || run_.cleanup || run_.pidfileWait ||
        run_.backoff.awaitsTick())
        return std::nullopt;
    return run_.backoff.attemptAt();
}

bool MonitoredServer::restartDue() const {
    const auto due = attemptDue();
    return due && *due <= context_->clock.now();
}

bool MonitoredServer::waitingForAttempt() const { return run_.backoff.waiting(context_->clock.now()); }

void MonitoredServer::resetBackoff() { run_.backoff.reset(); }

bool MonitoredServer::launchSliceSpent() const {
    return context_->launchesUntil && context_->launchesThisCall > 0 &&
           std::chrono::steady_clock::now() >= *context_->launchesUntil;
}

void MonitoredServer::putOffLaunch() {
    // This call has launched for long enough: due at the next one.
    run_.backoff.attemptNow(context_->clock.now());
}

std::optional<Clock::TimePoint> MonitoredServer::nextDue() const {
    std::optional<Clock::TimePoint> due = run_.settleAt;
    auto earliest = [&due](Clock::TimePoint at) {
        if (!due || at < *due) due = at;
    };
    if (run_.confirmAt && state() == ServerState::Starting && !run_.settleAt) earliest(*run_.confirmAt);
    if (run_.stop) {
        // The exit watcher tells of the process's end, but not of the rest
        // of its group, nor of anything where it cannot wait.
        earliest(run_.stop->escalation.nextDue(run_.held.watchId == 0 || run_.stop->escalation.group()));
    }
    if (run_.pidfileWait) earliest(std::min(run_.pidfileWait->nextLook, run_.pidfileWait->until));
    if (run_.cleanup) earliest(run_.cleanup->escalation.nextDue(true));
    if (const auto attempt = attemptDue()) earliest(*attempt);
    if (options_.health && run_.held.process && run_.info.pid > 0 && !run_.stop && !run_.pidfileWait &&
        run_.health.ticket() == 0)
        earliest(run_.health.nextCheck());
    return due;
}

// --- Checks ---

std::string MonitoredServer::readListenAddress(MachineLook& look) {
    if (run_.info.pid == 0) return {};
    Held& held = run_.held;
    // While the machine's listening sockets are those of the look that last
    // answered for this process, the table would answer the same: a found
    // address stands, and a process that listens nowhere goes on to the
    // walk of its descendants only where that is due regardless.
    const std::optional<std::uint64_t> changes = look.listenerChanges();
    const bool unchanged = changes && held.listenAnsweredAt == changes;
    if (unchanged && !held.listenAnswer.empty()) return held.listenAnswer;
    held.listenAnsweredAt = changes;
    held.listenAnswer.clear();
    std::vector<platform::TcpListener> listeners;
    // A process whose descriptors could not be read is asked again.
    if (!unchanged && !look.listenersOf(run_.info.pid, listeners)) held.listenAnsweredAt.reset();
    if (listeners.empty()) {
        // The server's own socket may be held by a process it started (a
        // master whose worker listens, a wrapper's child): the first of its
        // descendants that listens. Only for a server launched here, whose
        // descendants are its own.
        listeners.clear();
        if (!held.owned) return {};
        // The one found last is asked first. The table is walked for
        // another at every look where a health rule checks the listen
        // address; otherwise where the machine can tell, only once a
        // listening socket has appeared since the last walk (one none of
        // them held then), and else at the 1st, 2nd, 4th, 8th... look after
        // the process was held: a worker that binds after its master is
        // found at the next check or within a few, and a server that
        // listens nowhere costs next to nothing, or fewer walks the longer
        // it runs. The doubling goes on beside the arrivals from the 64th
        // look, for a socket handed to a descendant rather than made.
        if (unchanged || held.listenHolder == 0 || !look.listenersOf(held.listenHolder, listeners) ||
            listeners.empty()) {
            listeners.clear();
            held.listenHolder = 0;
            const bool needed = options_.health && options_.health->useListenAddress;
            const std::uint64_t count = ++held.listenLooks;
            const bool doubling = (count & (count - 1)) == 0;
            const std::optional<std::uint64_t> arrivals = look.listenerArrivals();
            const bool due = !arrivals ? doubling
                                       : !held.walkedAtArrivals || *held.walkedAtArrivals != *arrivals ||
                                             (doubling && count >= 64);
            if (!needed && !due) return {};
            held.walkedAtArrivals = arrivals;
            for (const int descendant : look.descendantsOf(run_.info.pid))
                if (look.listenersOf(descendant, listeners) && !listeners.empty()) {
                    held.listenHolder = descendant;
                    break;
                }
        }
        if (listeners.empty()) return {};
    }
    // IPv4 listeners come first: the last of them, or the last IPv6 one
    // when the process has no IPv4 listener.
    const auto firstIpv6 = std::find_if(listeners.begin(), listeners.end(), [](const platform::TcpListener& l) {
        return l.family == platform::AddressFamily::IPv6;
    });
    return held.listenAnswer = listenText(firstIpv6 == listeners.begin() ? listeners.back() : *std::prev(firstIpv6));
}

void MonitoredServer::readStartTime(std::int64_t& startTime) {
    if (run_.info.pid == 0) return;
    std::int64_t seconds = 0;
    if (context_->table.startTime(run_.info.pid, seconds) && seconds > 0) startTime = seconds;
}

void MonitoredServer::followUp(MachineLook& look) {
    const auto due = nextDue();
    if (!due || *due > context_->clock.now()) return;
    followStop();
    followPidfile();
    settle(look);
    confirm();
    followCleanup();
    if (restartDue()) checkStatus(look, false);
}

void MonitoredServer::checkStatus(MachineLook& look, bool tick, const platform::ProcessHandle* running) {
    // On its way down, or starting through its pidfile: the follow-up
    // decides what comes next.
    if (run_.stop || run_.pidfileWait) return;
    const std::int32_t oldPid = run_.info.pid;
    const Clock::TimePoint now = context_->clock.now();
    bool ended = false;
    if (run_.held.process) {
        if (run_.held.process.get() != running && run_.held.process->exited()) {
            noteEnd(&look);
            ended = !run_.pidfileWait;
        } else {
            run_.held.seenAliveAt = now;
            // A daemon named by its pidfile may write the file before it
            // has made its own group: its group is looked at again.
            Held& held = run_.held;
            if (held.groupWanted && held.group == 0 && held.process->leadsGroup()) held.group = held.process->pid();
        }
    }
    // What was left of its group ends first; the restart follows.
    if (run_.pidfileWait || run_.cleanup) return;
    const bool waitsForTick = run_.backoff.awaitsTick() && !tick;
    if (!run_.held.process && !ended && run_.autoStart && !waitsForTick && !waitingForAttempt() && launchSliceSpent()) {
        // Put off before the process table is searched for it: with many
        // servers waiting for their launch, searching for each at every
        // call would cost more than the launches themselves.
        putOffLaunch();
        return;
    }
    // Nothing held: a process matching the command line is taken as the
    // server's (it was replaced, not lost).
    if (!run_.held.process) findProcess(look);
    if (!run_.held.process && run_.autoStart) {
        // A server that died young waits for its back-off step, or with
        // the back-off off for the next tick.
        if (waitsForTick || waitingForAttempt()) {
            return;
        }
        if (launchSliceSpent()) {
            putOffLaunch();
            return;
        }
        ++context_->launchesThisCall;
        const bool ok = start();
        AppLogger::Instance().get().debug("service is closed, autoStart {} {}", run_.info.name, ok);
        // start read the start time itself; the address follows when it has settled
        return;
    }
    // One reading of the clock serves the whole check (a process found
    // just now has run for no time yet).
    const Clock::Duration ran = std::max(runningFor(now), Clock::Duration::zero());
    const Clock::Duration mustLast =
        std::max<Clock::Duration>(context_->options.restartBackoffMax, context_->options.checkInterval);
    // Running long enough without dying: the next failure starts afresh.
    if (run_.held.process && run_.backoff.failures() > 0 && ran >= mustLast) run_.backoff.reset();
    if (run_.recoveryOwed && !run_.autoStart) run_.recoveryOwed = false;  // the operator stopped it
    if (run_.recoveryOwed && state() == ServerState::Running && ran >= mustLast) {
        // Running again for as long as a start must last to count (as the
        // back-off reckons it), not merely started once more.
        run_.recoveryOwed = false;
        raise(AlertKind::Recovered,
              run_.info.name + " recovered: running again for " + LastExit::durationText(ran) +
                  ", pid=" + std::to_string(run_.info.pid),
              run_.info.pid);
    }
    run_.info.ports = readListenAddress(look);
    if (!run_.info.ports.empty()) run_.lastListen = run_.info.ports;
    // The start time of a held process cannot change; it is read when the
    // process is first found.
    if (run_.info.pid != 0 && (run_.info.pid != oldPid || run_.info.startTime == 0)) readStartTime(run_.info.startTime);
}

// --- Across runs and reloads ---

bool MonitoredServer::readopt(const RememberedServer& record, bool sameBoot) {
    // A process of another boot cannot run any more; its ID and start may
    // well have been given to another.
    if (!sameBoot || record.pid <= 0) return false;
    std::unique_ptr<platform::ProcessHandle> process;
    const auto identity = platform::processIdentity(record.pid);
    if (identity && *identity == record.startTicks) {
        // A hand-made or stale state file may name any process with a start
        // it read somewhere: the server's program and user are asked too.
        if (const std::string why = refusalOf(record.pid, 0, 0); !why.empty()) {
            reportRefusal(record.pid, "the state file", why);
        } else {
            process = context_->control.open(record.pid);
            if (process && platform::processIdentity(record.pid) != identity) process.reset();
        }
    }
    bool fromPidfile = false;
    if (!process && record.launched && !options_.pidfile.empty()) {
        // The server may have handed over to its daemon, or replaced itself
        // (a new master): the pidfile names it.
        process = daemonFromPidfile(record.startTicks, 0);
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
    if (record.launched) run_.held.capturedIn = outputFile_;
    run_.held.fromPidfile = fromPidfile;
    if (fromPidfile)
        AppLogger::Instance().get().info("{} runs as pid {}, named in its pidfile {}; taken over from the previous run",
                                         run_.info.name, pid, pidfilePath());
    else
        AppLogger::Instance().get().info("{} is still running (pid={}); taken over from the previous run",
                                         run_.info.name, pid);
    enter(ServerState::Running, Cause::Found);
    return true;
}

RememberedServer MonitoredServer::remembered() const {
    RememberedServer record;
    record.name = run_.info.name;
    record.processname = run_.info.processname;
    record.commandline = run_.info.commandline;
    record.stopped = !run_.autoStart;
    if (run_.held.process && run_.info.pid > 0) {
        record.pid = run_.info.pid;
        record.startTicks = run_.held.identity;
        record.launched = run_.held.owned;
        record.group = run_.held.group;
    } else if (run_.pidfileWait) {
        // The launch itself: a later run reads the pidfile, for a daemon
        // that started after it.
        record.pid = run_.pidfileWait->launchedPid;
        record.startTicks = run_.pidfileWait->launchIdentity;
        record.launched = true;
    }
    return record;
}

void MonitoredServer::takeRunStateFrom(MonitoredServer& other) {
    run_ = std::exchange(other.run_, RunState{});
    options_ = other.options_;  // configure compares the entry's rule with it
}

// --- The health rule ---

bool MonitoredServer::healthDue(bool gathering) const {
    if (!(options_.health && run_.held.process && run_.info.pid > 0 && !run_.stop && !run_.pidfileWait)) return false;
    return run_.health.due(*options_.health, context_->clock.now(), gathering);
}

bool MonitoredServer::checkHealthSoon() {
    if (!(options_.health && run_.held.process && run_.info.pid > 0 && !run_.stop && !run_.pidfileWait)) return false;
    run_.health.dueNow(context_->clock.now());
    return true;
}

bool MonitoredServer::healthCheckNow(HealthCheck& check, std::string& why) const {
    if (!options_.health) {
        why = run_.info.name + " has no health rule";
        return false;
    }
    if (!run_.held.process || run_.info.pid <= 0 || run_.stop) {
        why = run_.info.name + " is not running";
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
        if (reachableAt(run_.info.ports, host, port)) {
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
    check.pid = run_.info.pid;
    // For a server launched here, its workers count too.
    check.group = run_.held.group;
    return true;
}

std::string MonitoredServer::healthVerdict(const HealthCheckResult& last) const {
    const HealthState verdict = health();
    std::string text = healthStateName(verdict == HealthState::None ? HealthState::Checking : verdict);
    if (verdict == HealthState::Unhealthy) return text + ": " + run_.health.reason();
    std::string seen = last.seen;
    if (last.residentBytes) {
        const double mb = static_cast<double>(*last.residentBytes) / (1024.0 * 1024.0);
        seen += (seen.empty() ? "" : ", ") + std::string("RSS ") + megabytesText(mb);
    }
    text += ": " + (seen.empty() ? std::string("nothing seen") : seen);
    if (options_.health && run_.health.probeFailures() > 0)
        text += " (" + std::to_string(run_.health.probeFailures()) + " of " +
                std::to_string(options_.health->failures) + " failed checks in a row)";
    return text;
}

HealthCheck MonitoredServer::beginHealthCheck(std::uint64_t& ticket) {
    HealthCheck check;
    std::string why;
    healthCheckNow(check, why);
    ticket = ++context_->lastHealthTicket;
    run_.health.begin(*options_.health, ticket, context_->clock.now());
    return check;
}

void MonitoredServer::healthResult(const HealthCheckResult& result) {
    if (!options_.health || !run_.held.process) {
        run_.health.cancel();
        return;
    }
    const HealthRule& rule = *options_.health;
    const HealthTracker::Outcome outcome = run_.health.result(rule, result);
    auto& log = AppLogger::Instance().get();
    if (outcome.becameUnhealthy) {
        const bool restart = rule.onFailure == HealthAction::restart && run_.autoStart;
        const std::string message = run_.info.name + " is unhealthy: " + run_.health.reason() + outcome.detail +
                                    (restart ? "; it will be restarted" : "; it is left running");
        log.warn("{}", message);
        raise(AlertKind::Unhealthy, message, run_.info.pid, run_.health.reason());
        // The restart follows the stop as it follows a crash.
        if (restart) stop(true, {}, std::nullopt, StopFor::Health);
    } else if (outcome.becameHealthy) {
        const std::string message = run_.info.name + " has recovered: " +
                                    (result.probed ? result.seen : "RSS " + megabytesText(outcome.residentMb));
        log.info("{}", message);
        raise(AlertKind::Healthy, message, run_.info.pid);
    }
}
