#pragma once
#include <string>

#include "supervision/Clock.h"
#include "supervision/LastExit.h"
#include "supervision/RowCells.h"
#include "supervision/ServerState.h"

class MonitoredServer;

// How a row's process-ID cell is coloured.
enum class RowColour {
    Plain,  // running, or kept down by the operator
    Busy,   // starting or stopping
    Alarm,  // down although it should run (auto-start on)
};

// What one server's row shows, made from its record: the engine's state in
// the row's own columns. The process-ID cell shows a PID only while the
// record holds a process; the listen-address cell says, in a word, what a
// server that is not running is doing ("停止中 8秒" counts down to the kill);
// the start/stop button offers what the state allows ("立即结束" while a
// stop waits); the tooltip of the process-ID cell tells the state, the
// last exit, the restarts and the uptime, and what the colours mean.
struct RowStatus {
    std::string name;
    ServerState state = ServerState::Stopped;
    std::string pid;
    std::string ports;
    std::string startTime;
    // How the last process ended, in the window's words ("退出码 3", "被信号
    // 9 (SIGKILL) 终止"); empty while none has.
    std::string lastExit;
    // How long the process held has run ("5分12秒", "3天4小时"), empty
    // without one; how often the server was started again after its first
    // start (the count ctl and the metrics give).
    std::string uptime;
    std::string restarts;
    // What its process uses ("12.5%" of one core, "12.3 MB"); the window
    // measures them and fills them in, empty until it has.
    std::string cpu;
    std::string memory;
    std::string startStopCaption;
    std::string tooltip;
    RowColour colour = RowColour::Plain;
    // Its health rule has failed: the name cell shows it, with what the
    // rule saw as its tip.
    bool unhealthy = false;
    std::string healthTip;

    static RowStatus of(const ServerReport& report);

    bool operator==(const RowStatus&) const = default;

    // How a process ended, for the column "上次退出": "退出码 3", "被信号 9
    // (SIGKILL) 终止", with "（已转储核心）" after a core dump; an end whose
    // status could not be learnt is "退出状态未知" (and "（非本程序启动）"
    // for a process found running).
    static std::string lastExitText(const LastExit& exit);
    // The same with how long the process ran, for the tooltip.
    static std::string lastExitSummary(const LastExit& exit);

    // A duration in the window's words: tenths below ten seconds, to the
    // second below an hour, then in the two largest units: "0.8秒", "42秒",
    // "5分12秒", "3小时12分", "3天4小时".
    static std::string durationText(Clock::Duration duration);

    // "运行中", "启动中", "停止中", "已停止", "启动失败", "等待重启".
    static const char* stateText(ServerState state);
    // What the colours mean, as the tooltips end.
    static const char* const kLegend;
    // The caption of the start/stop button while a stop waits: kill now.
    static const char* const kKillNowCaption;
};
