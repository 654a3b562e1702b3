#include "app/core/HeadlessRunner.h"

#include <ctime>

#include <fmt/format.h>

#include "config/SettingsFile.h"
#include "mail/MailDelivery.h"
#include "platform/StopRequest.h"
#include "ui/model/MainLayout.h"

HeadlessRunner::HeadlessRunner(std::FILE* out) : out_(out) {}

void HeadlessRunner::load() {
    checkInterval_ = LoadSettingsFile();
    list_.LoadServerInfo();
    // A record without a window: its first check still runs.
    for (auto& [index, server] : list_.servers()) server.createRow(nullptr);
}

std::string HeadlessRunner::headerLine() {
    return fmt::format("{:<5} {:<24} {:>8}  {:<21} {}", "INDEX", "NAME", "PID", "LISTEN", "STARTED");
}

std::string HeadlessRunner::rowLine(const MonitoredServer& server) {
    const RowCells cells = server.rowCells();
    return fmt::format("{:<5} {:<24} {:>8}  {:<21} {}", server.info.index, server.info.name,
                       cells.pid.empty() ? "-" : cells.pid, cells.ports.empty() ? "-" : cells.ports,
                       cells.startTime.empty() ? "-" : cells.startTime);
}

void HeadlessRunner::printTable() {
    std::fprintf(out_, "%s\n", headerLine().c_str());
    for (auto& [index, server] : list_.servers()) std::fprintf(out_, "%s\n", rowLine(server).c_str());
    std::fflush(out_);
}

int HeadlessRunner::checkAll() {
    int changed = 0;
    for (auto& [index, server] : list_.servers()) {
        if (!server.checkStatus()) continue;
        ++changed;
        std::fprintf(out_, "%s\n", rowLine(server).c_str());
    }
    std::fflush(out_);
    return changed;
}

int HeadlessRunner::run() {
    platform::StopRequest::install();
    load();
    std::fprintf(out_, "Procward supervising %zu server(s), checking every %d s\n", list_.servers().size(),
                 checkInterval_);
    printTable();
    const int period = MainLayout::timerPeriodMilliseconds(checkInterval_);
    while (!platform::StopRequest::waitFor(period)) checkAll();
    MailDelivery::Process().shutdown();
    std::fprintf(out_, "Procward stopped\n");
    std::fflush(out_);
    return 0;
}
