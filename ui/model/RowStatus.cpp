#include "ui/model/RowStatus.h"

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

std::string RowStatus::lastExitSummary(const LastExit& exit) {
    std::string text = lastExitText(exit);
    if (exit.status && exit.ran) text += "，运行了 " + LastExit::durationText(*exit.ran);
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
    row.healthTip = cells.healthTip;

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
    row.tooltip = std::string("状态：") + stateText(row.state);
    if (report.exit) row.tooltip += "\n上次退出：" + lastExitSummary(*report.exit);
    if (!report.startError.empty()) row.tooltip += "\n启动错误：" + report.startError;
    row.tooltip += "\n重启次数：" + std::to_string(report.restarts);
    if (report.uptime > Clock::Duration::zero()) row.tooltip += "\n已运行：" + LastExit::durationText(report.uptime);
    row.tooltip += std::string("\n") + kLegend;
    return row;
}
