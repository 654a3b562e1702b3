#include "supervision/RowCells.h"

#include <ctime>

#include "platform/System.h"
#include "supervision/MonitoredServer.h"

RowCells RowCells::of(const MonitoredServer& server) { return of(server.report()); }

RowCells RowCells::of(const ServerReport& report) {
    RowCells cells;
    cells.pid = report.pid > 0 ? std::to_string(report.pid) : std::string();
    cells.ports = report.listen;
    cells.startTime = formatStartTime(report.startTime);
    // A server that keeps failing says when it is tried again.
    if (report.nextAttempt != 0) {
        const std::string at = formatStartTime(report.nextAttempt);
        cells.startTime = "下次重启 " + (at.size() > 11 ? at.substr(11) : at);
    }
    cells.downWithAutoStart = report.downWanted();
    cells.unhealthy = report.health == HealthState::Unhealthy;
    if (cells.unhealthy) cells.healthTip = "健康检查失败: " + report.healthReason;
    cells.startStopCaption = report.state == ServerState::Stopping ? "停止中" : report.pid > 0 ? "停止" : "启动";
    return cells;
}

std::string formatStartTime(std::int64_t startTime) {
    if (startTime == 0) return {};
    std::tm local{};
    if (!platform::localTime(startTime, local)) return {};
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, n);
}
