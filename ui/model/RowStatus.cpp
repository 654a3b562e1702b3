#include "ui/model/RowStatus.h"

#include "ui/model/ReasonText.h"

#include <algorithm>
#include <cstdio>

const char* const RowStatus::kLegend = "红色：应运行而未运行；黄色：启动中或停止中";
const char* const RowStatus::kKillNowCaption = "立即结束";

const char* RowStatus::stateText(ServerState state) {
    switch (state) {
        case ServerState::Running: return "运行中";
        case ServerState::Starting: return "启动中";
        case ServerState::Stopping: return "停止中";
        case ServerState::Stopped: return "已停止";
        case ServerState::Failing: return "启动失败";
        case ServerState::Backoff: return "等待重启";
    }
    return "";
}

std::string RowStatus::lastExitText(const LastExit& exit) {
    if (!exit.status) return exit.launchedHere ? "退出状态未知" : "退出状态未知（非本程序启动）";
    const platform::ExitStatus& status = *exit.status;
    std::string text;
    if (status.how == platform::ExitStatus::How::Signal) {
        text = "被信号 " + std::to_string(status.value) + " (" + platform::signalName(status.value) + ") 终止";
    } else if (status.value >= -255 && status.value <= 255) {
        text = "退出码 " + std::to_string(status.value);
    } else {
        // A Windows status (0xC0000005): read as the system writes it.
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status.value));
        text = std::string("退出码 ") + hex;
    }
    if (status.coreDumped) text += "（已转储核心）";
    return text;
}

std::string RowStatus::durationText(Clock::Duration duration) {
    const std::int64_t ms =
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
    // Tenths below ten seconds, cut rather than rounded: a process that ran
    // 0.8 s did not run "0秒", and 9.96 s never reads as 10.0.
    if (ms < 10000) return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + "秒";
    const std::int64_t s = ms / 1000;
    const auto two = [](std::int64_t big, const char* bigUnit, std::int64_t small, const char* smallUnit) {
        std::string text = std::to_string(big) + bigUnit;
        if (small > 0) text += std::to_string(small) + smallUnit;
        return text;
    };
    if (s < 60) return std::to_string(s) + "秒";
    if (s < 3600) return two(s / 60, "分", s % 60, "秒");
    if (s < 86400) return two(s / 3600, "小时", s % 3600 / 60, "分");
    return two(s / 86400, "天", s % 86400 / 3600, "小时");
}

std::string RowStatus::lastExitSummary(const LastExit& exit) {
    std::string text = lastExitText(exit);
    if (exit.status && exit.ran) text += "，运行了 " + durationText(*exit.ran);
    return text;
}

RowStatus RowStatus::of(const ServerReport& report) {
    const RowCells cells = RowCells::of(report);
    RowStatus row;
    row.name = report.name;
    row.state = report.state;
    row.pid = cells.pid;
    row.ports = cells.ports;
    row.startTime = cells.startTime;
    row.unhealthy = cells.unhealthy;
    // The rule's reason in the window's words (the log keeps it in English).
    if (row.unhealthy) row.healthTip = "健康检查失败: " + ReasonText::chinese(report.healthReason);

    switch (row.state) {
        case ServerState::Running: row.startStopCaption = "停止"; break;
        case ServerState::Starting:
            row.startStopCaption = "停止";
            if (row.ports.empty()) row.ports = stateText(row.state);
            row.colour = RowColour::Busy;
            break;
        case ServerState::Stopping: {
            row.startStopCaption = kKillNowCaption;
            row.ports = stateText(row.state);
            if (report.killIn) {
                // Whole seconds left, rounded up: "0秒" only once it is due.
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*report.killIn).count();
                row.ports += " " + std::to_string(left <= 0 ? 0 : (left + 999) / 1000) + "秒";
            }
            row.colour = RowColour::Busy;
            break;
        }
        case ServerState::Stopped:
        case ServerState::Failing:
        case ServerState::Backoff:
            // No process is held: whatever PID the record last had is gone.
            row.pid.clear();
            row.ports = stateText(row.state);
            row.startStopCaption = "启动";
            row.colour = report.autoStart ? RowColour::Alarm : RowColour::Plain;
            break;
    }

    if (report.exit) row.lastExit = lastExitText(*report.exit);
    if (!row.pid.empty()) row.uptime = durationText(report.uptime);
    row.restarts = std::to_string(report.restarts);
    row.tooltip = std::string("状态：") + stateText(row.state);
    if (report.exit) row.tooltip += "\n上次退出：" + lastExitSummary(*report.exit);
    if (!report.startError.empty()) row.tooltip += "\n启动错误：" + ReasonText::chinese(report.startError);
    row.tooltip += "\n重启次数：" + std::to_string(report.restarts);
    if (report.uptime > Clock::Duration::zero()) row.tooltip += "\n已运行：" + durationText(report.uptime);
    row.tooltip += std::string("\n") + kLegend;
    return row;
}
