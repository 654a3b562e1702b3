#pragma once
#include <string>
#include <vector>

#include "supervision/RowCells.h"

// What the tray icon tells about the servers: how many run, and whether one
// that should run (auto-start on) is down.
class TrayState {
public:
    // Counted over the cells of every row, as the window shows them.
    static TrayState of(const std::vector<RowCells>& rows);

    // "Procward: N/M 运行中".
    std::string tooltip() const;

    bool operator==(const TrayState& other) const = default;

    int running = 0;
    int total = 0;
    bool alarm = false;  // some server is down with auto-start on
};
