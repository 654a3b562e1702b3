#include "app/core/HeadlessRunner.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "app/core/Runtime.h"
#include "log/AppLogger.h"
#include "platform/StopRequest.h"
#include "platform/System.h"
#include "platform/TextEncoding.h"
#include "supervision/RowCells.h"
#include "supervision/Supervisor.h"
#include "supervision/SystemClock.h"

HeadlessRunner::HeadlessRunner(std::FILE* out, std::string program) : out_(out), program_(std::move(program)) {}

std::string HeadlessRunner::headerLine() {
    return fmt::format("{:<5} {:<24} {:<8} {:>8}  {:<21} {:<19}  {}", "INDEX", "NAME", "STATE", "PID", "LISTEN",
                       "STARTED", "HEALTH");
}

std::string HeadlessRunner::rowLine(const ServerReport& server) {
    std::string health = healthStateName(server.health);
    if (server.health == HealthState::Unhealthy) health += ": " + server.healthReason;
    const std::string started = formatStartTime(server.startTime);
    return fmt::format("{:<5} {:<24} {:<8} {:>8}  {:<21} {:<19}  {}", server.index, server.name,
                       serverStateName(server.state), server.pid > 0 ? std::to_string(server.pid) : "-",
                       server.listen.empty() ? "-" : server.listen, started.empty() ? "-" : started, health);
}

void HeadlessRunner::printTable(const Supervisor& supervisor) {
    std::fprintf(out_, "%s\n", headerLine().c_str());
    for (const auto& [index, server] : supervisor.servers()) {
        const ServerReport report = server->report();
        printed_[index] = keyOf(report);
        std::fprintf(out_, "%s\n", rowLine(report).c_str());
    }
    std::fflush(out_);
}

std::string HeadlessRunner::changeLine(const ServerReport& server) {
    std::string line = rowLine(server);
    if (server.pid != 0) return line;
    std::string why;
    if (!server.startError.empty())
        why = "could not be started: " + server.startError;
    else if (server.exit)
        why = server.exit->summary();
    if (server.nextAttempt != 0) {
        const std::string at = formatStartTime(server.nextAttempt);
        why += (why.empty() ? "" : "; ") + std::string("next attempt ") + (at.size() > 11 ? at.substr(11) : at);
    }
    if (!server.autoStart) why += (why.empty() ? "" : "; ") + std::string("auto-start off");
    if (!why.empty()) line += "  [" + why + "]";
    return line;
}

std::string HeadlessRunner::keyOf(const ServerReport& server) {
    return fmt::format("{}|{}|{}|{}|{}|{}|{}|{}", static_cast<int>(server.state), server.pid, server.listen,
                       static_cast<int>(server.health), server.autoStart, server.startError,
                       server.exit ? server.exit->time : 0, server.nextAttempt);
}

void HeadlessRunner::serverChanged(const MonitoredServer& server) {
    const ServerReport report = server.report();
    std::string key = keyOf(report);
    std::string& printed = printed_[report.index];
    if (printed == key) return;
    printed = std::move(key);
    std::fprintf(out_, "%s\n", changeLine(report).c_str());
    std::fflush(out_);
}

void HeadlessRunner::stopEveryServer(Runtime& runtime) {
    // The first process of a PID namespace takes every process in it along
    // when it ends: the servers would die by SIGKILL, unsaved. A container's
    // stop (SIGTERM, or SIGINT), or ctl shutdown, therefore stops them first,
    // as `ctl stop --all` does: each gets its stop signal and STOP_TIMEOUT,
    // then SIGKILL.
    Supervisor& supervisor = runtime.supervisor();
    auto& log = AppLogger::Instance().get();
    const std::string why = !runtime.endRequested().empty() ? runtime.endRequested() : platform::StopRequest::reason();
    log.info("Procward runs as PID 1: stopping every server before it ends ({})", why);
    bool done = false;
    supervisor.stopAll([&done, &log](const CommandResult& result) {
        done = true;
        if (!result.notDone.empty())
            log.error("{} server(s) could not be stopped before Procward ends", result.notDone.size());
    });
    // The stops run on the loop: their signals, their timeouts and the
    // clean-up of their groups. A last bound keeps a stuck stop from keeping
    // the container alive for ever (its manager kills it anyway).
    const auto giveUp = SystemClock::Instance().now() + supervisor.options().stopTimeout + std::chrono::seconds(10);
    while (!done && SystemClock::Instance().now() < giveUp) {
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(runtime.nextDue() - SystemClock::Instance().now());
        platform::StopRequest::pause(static_cast<int>(std::clamp<long long>(wait.count() + 1, 1, 1000)));
        runtime.runDue();
    }
}

int HeadlessRunner::run() {
    platform::StopRequest::install();
    Runtime runtime([] { platform::StopRequest::wake(); }, stderr);
    const ListResult list = runtime.readList();
    if (!list.ok && !list.missing) {
        // Supervising nothing while the operator believes otherwise is worse
        // than not starting: the service manager and the shell see the error.
        const std::string why = "the server list cannot be read: " + list.error;
        std::fprintf(stderr, "%s: %s\n", program_.c_str(), platform::terminalText(why).c_str());
        fatalError_ = why;
        runtime.stop(why);
        return 1;
    }
    runtime.start();
    Supervisor& supervisor = runtime.supervisor();
    std::fprintf(out_, "Procward supervising %zu server(s), checking every %lld s\n", supervisor.servers().size(),
                 static_cast<long long>(
                     std::chrono::duration_cast<std::chrono::seconds>(supervisor.options().checkInterval).count()));
    printTable(supervisor);
    // The table showed the first load; from here on each change is a line.
    supervisor.addObserver(this);
    while (runtime.endRequested().empty()) {
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(runtime.nextDue() - SystemClock::Instance().now());
        // Rounded up, so that the wait never ends just before what is due.
        const long long ms = std::clamp<long long>(wait.count() + 1, 0, 60000);
        if (platform::StopRequest::waitFor(static_cast<int>(ms))) break;
        runtime.runDue();
    }
    if (platform::runsAsInit()) stopEveryServer(runtime);
    supervisor.removeObserver(this);
    runtime.stop(runtime.endRequested());
    std::fprintf(out_, "Procward stopped\n");
    std::fflush(out_);
    return 0;
}
