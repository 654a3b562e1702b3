#pragma once
#include <string>
#include <vector>

#include "ui/model/RowStatus.h"

// What the tray icon tells about the servers: how many run, and which of
// those that should run (auto-start on) are down.
class TrayState {
public:
    // Counted over the rows as the window shows them: a running or starting
    // server counts as running, one stopping does not.
    static TrayState of(const std::vector<RowStatus>& rows);

    // "Procward: N/M 运行中", then a line "未运行：" with the names of the
    // servers that are down although they should run (the first few, then
    // how many more).
    std::string tooltip() const;

    bool operator==(const TrayState& other) const = default;

    int running = 0;
    int total = 0;
    bool alarm = false;             // some server is down with auto-start on
    std::vector<std::string> down;  // their names, in index order

    // How many names the tooltip lists.
    static constexpr std::size_t kNamesShown = 5;
};
