#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "supervision/RowView.h"
#include "supervision/ServerInfo.h"

// The number of MonitoredServer objects in existence.
extern std::int32_t liveServerCount;

// One entry of the server list: its configuration, the observed state of its
// process, the auto-start mode and the row that shows it.
class MonitoredServer {
public:
    MonitoredServer();
    ~MonitoredServer();
    MonitoredServer(const MonitoredServer&) = delete;
    MonitoredServer& operator=(const MonitoredServer&) = delete;

    // Process ID of the running process that matches this server, 0 if none.
    std::int32_t findProcess();
    // Launches the server unless it runs; true when launched and found.
    bool start();
    // Ends the server's process; true when it was ended.
    bool stop(bool keepAutoStart);
    // Listen address of the process `pid`, "" when none.
    std::string readListenAddress();
    // Writes the creation time of the process `pid` into startTime on success.
    void readStartTime(std::int64_t& startTime);
    // Periodic check; true when pid or ports changed.
    bool checkStatus();
    // Runs the first check and creates the row's controls; always true.
    bool createRow(RowHost* parent);
    // Rewrites the row's changing cells.
    void refreshRow();

    // The texts refreshRow writes, from the current state.
    RowCells rowCells() const;

    std::unique_ptr<RowView> row;  // the row's controls
    RowHost* parentWnd = nullptr;  // not owned
    ServerInfo info;
    bool autoStart = true;
    bool rowCreated = false;
};

// Local-time text of a start time, "%Y-%m-%d %H:%M:%S", empty for 0.
std::string formatStartTime(std::int64_t startTime);
