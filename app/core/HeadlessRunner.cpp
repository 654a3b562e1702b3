#include "app/core/HeadlessRunner.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "app/core/Runtime.h"
#include "platform/StopRequest.h"
#include "supervision/RowCells.h"
#include "supervision/SystemClock.h"
#include "platform/TextEncoding.h"

HeadlessRunner::HeadlessRunner(std::FILE* out, std::string program) : out_(out), program_(std::move(program)) {}

std::string HeadlessRunner::headerLine() {
    return fmt::format("{:<5} {:<24} {:>8}  {:<21} {:<19}  {}", "INDEX", "NAME", "PID", "LISTEN", "STARTED", "HEALTH");
}

std::string HeadlessRunner::rowLine(const MonitoredServer& server) {
    const RowCells cells = RowCells::of(server);
    std::string health = healthStateName(server.health());
    if (server.health() == HealthState::Unhealthy) health += ": " + server.healthReason();
    return fmt::format("{:<5} {:<24} {:>8}  {:<21} {:<19}  {}", server.info().index, server.info().name,
                       cells.pid.empty() ? "-" : cells.pid, cells.ports.empty() ? "-" : cells.ports,
                       cells.startTime.empty() ? "-" : cells.startTime, health);
}

void HeadlessRunner::printTable(const Supervisor& supervisor) {
    std::fprintf(out_, "%s\n", headerLine().c_str());
    for (const auto& [index, server] : supervisor.servers())
        std::fprintf(out_, "%s\n", rowLine(*server).c_str());
    std::fflush(out_);
}

std::string HeadlessRunner::changeLine(const MonitoredServer& server) {
    std::string line = rowLine(server);
    if (server.info().pid != 0) return line;
    if (!server.startError().empty())
        line += "  [could not be started: " + server.startError() + "]";
    else if (server.lastExit())
        line += "  [" + server.lastExit()->summary() + "]";
    return line;
}

void HeadlessRunner::serverChanged(const MonitoredServer& server) {
    std::fprintf(out_, "%s\n", changeLine(server).c_str());
    std::fflush(out_);
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
    supervisor.removeObserver(this);
    runtime.stop(runtime.endRequested());
    std::fprintf(out_, "Procward stopped\n");
    std::fflush(out_);
    return 0;
}
