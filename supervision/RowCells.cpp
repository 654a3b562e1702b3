#include "supervision/RowCells.h"

#include <ctime>

#include "platform/System.h"
#include "supervision/MonitoredServer.h"

RowCells RowCells::of(const MonitoredServer& server) {
    RowCells cells;
    cells.pid = server.info().pid > 0 ? std::to_string(server.info().pid) : std::string();
    cells.ports = server.info().ports;
    cells.startTime = formatStartTime(server.info().startTime);
    // A server that keeps failing says when it is tried again.
    if (const auto next = server.nextRestartTime()) {
        const std::string at = formatStartTime(*next);
        cells.startTime = "下次重启 " + (at.size() > 11 ? at.substr(11) : at);
    }
    cells.downWithAutoStart = server.info().pid <= 0 && server.autoStart();
    cells.unhealthy = server.health() == HealthState::Unhealthy;
    if (cells.unhealthy) cells.healthTip = "健康检查失败: " + server.healthReason();
    cells.startStopCaption = server.stopping() ? "停止中" : server.info().pid > 0 ? "停止" : "启动";
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
