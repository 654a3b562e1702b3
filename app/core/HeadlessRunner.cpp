#include "app/core/HeadlessRunner.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "app/core/SupervisionSettings.h"
#include "config/SettingsFile.h"
#include "mail/MailDelivery.h"
#include "platform/StopRequest.h"
#include "supervision/RowCells.h"
#include "supervision/SystemClock.h"

HeadlessRunner::HeadlessRunner(std::FILE* out) : out_(out) {}

void HeadlessRunner::load(bool serve) {
    LoadSettingsFile();
    supervisor_ = std::make_unique<Supervisor>(SystemClock::instance(), platform::processControl(),
                                               SupervisionOptionsFromSettings());
    supervisor_->watchExits([] { platform::StopRequest::wake(); });
    if (serve) {
        host_ = std::make_unique<ServiceHost>(*supervisor_, [] { platform::StopRequest::wake(); });
        host_->start();
    }
    list_.LoadServerInfo();
    supervisor_->load(list_.entries());
    supervisor_->setObserver(this);
}

std::string HeadlessRunner::headerLine() {
    return fmt::format("{:<5} {:<24} {:>8}  {:<21} {}", "INDEX", "NAME", "PID", "LISTEN", "STARTED");
}

std::string HeadlessRunner::rowLine(const MonitoredServer& server) {
    const RowCells cells = RowCells::of(server);
    return fmt::format("{:<5} {:<24} {:>8}  {:<21} {}", server.info.index, server.info.name,
                       cells.pid.empty() ? "-" : cells.pid, cells.ports.empty() ? "-" : cells.ports,
                       cells.startTime.empty() ? "-" : cells.startTime);
}

void HeadlessRunner::printTable() {
    std::fprintf(out_, "%s\n", headerLine().c_str());
    for (const auto& [index, server] : supervisor_->servers()) std::fprintf(out_, "%s\n", rowLine(*server).c_str());
    std::fflush(out_);
}

void HeadlessRunner::serverChanged(const MonitoredServer& server) {
    std::fprintf(out_, "%s\n", rowLine(server).c_str());
    std::fflush(out_);
}

int HeadlessRunner::run() {
    platform::StopRequest::install();
    load(true);
    std::fprintf(out_, "Procward supervising %zu server(s), checking every %lld s\n", supervisor_->servers().size(),
                 static_cast<long long>(
                     std::chrono::duration_cast<std::chrono::seconds>(supervisor_->options().checkInterval).count()));
    printTable();
    for (;;) {
        // The service manager's watchdog counts as due too: a loop that
        // slept past it would be taken for a hung one.
        const Clock::TimePoint due = std::min(supervisor_->nextDue(), host_->nextWatchdog());
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - SystemClock::instance().now());
        // Rounded up, so that the wait never ends just before what is due.
        const long long ms = std::clamp<long long>(wait.count() + 1, 0, 60000);
        if (platform::StopRequest::waitFor(static_cast<int>(ms))) break;
        host_->runQueued();
        supervisor_->runDue();
        host_->watchdogIfDue(SystemClock::instance().now());
    }
    host_->stopping();
    MailDelivery::Process().shutdown();
    std::fprintf(out_, "Procward stopped\n");
    std::fflush(out_);
    host_.reset();
    supervisor_.reset();
    return 0;
}
