#pragma once
#include <string>
#include <vector>

#include "ui/model/RowStatus.h"

// What the tray icon tells about the servers: how many run, and which of
// those that should run (auto-start on) are down.
class TrayState {
public:
    // Counted over the rows as the window shows them, by the states ctl and
    // the metrics count: running (its health rule, if any, not failing),
    // unhealthy, and down although it should run.
    static TrayState of(const std::vector<RowStatus>& rows);

    // "Procward", then a line each for how many servers run ("运行 95"),
    // run but fail their health rule ("不健康 2") and do not run ("停止 2":
    // stopped, starting, stopping, failing); then a line "不健康：" with the
    // names of the unhealthy servers and a line "未运行：" with those that
    // are down although they should run (the first few of each, then how
    // many more).
    std::string tooltip() const;

    bool operator==(const TrayState& other) const = default;

    int running = 0;
    int total = 0;
    bool alarm = false;                  // some server is down with auto-start on
    std::vector<std::string> down;       // their names, in index order
    std::vector<std::string> unhealthy;  // running, but failing their health rule

    // How many names the tooltip lists.
    static constexpr std::size_t kNamesShown = 5;
};
