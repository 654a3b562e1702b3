#pragma once
#include <cstdint>
#include <string>

#include "supervision/ServerReport.h"

class MonitoredServer;

// The texts a server's row shows in the cells that change while it runs,
// made from its record.
struct RowCells {
    std::string pid;               // decimal process ID, empty when none
    std::string ports;             // listen address
    std::string startTime;         // "%Y-%m-%d %H:%M:%S" local time, empty when unknown
    std::string startStopCaption;  // "停止" while running, "停止中" while stopping, else "启动"
    // The server is down although auto-start is on: the checks keep trying
    // to start it, which the window shows as an alarm.
    bool downWithAutoStart = false;
    // Its health rule has failed: the row shows it, with what the rule saw
    // as the tip of its name.
    bool unhealthy = false;
    std::string healthTip;

    static RowCells of(const ServerReport& report);
    static RowCells of(const MonitoredServer& server);
};

// Local-time text of a start time, "%Y-%m-%d %H:%M:%S", empty for 0.
std::string formatStartTime(std::int64_t startTime);
