#pragma once
#include <memory>
#include <string>

// The texts a server's row shows in the cells that change while it runs.
struct RowCells {
    std::string pid;               // decimal process ID, empty when none
    std::string ports;             // listen address
    std::string startTime;         // "%Y-%m-%d %H:%M:%S" local time, empty when unknown
    std::string startStopCaption;  // "停止" while running, else "启动"
    // The server is down although auto-start is on: every check tries to
    // start it again and fails, which the window shows as an alarm.
    bool downWithAutoStart = false;
};

// The controls of one server's row, owned by the server's record and
// destroyed with it. The window implements it.
class RowView {
public:
    virtual ~RowView() = default;
    virtual void update(const RowCells& cells) = 0;
};

// The window that makes rows.
class RowHost {
public:
    virtual ~RowHost() = default;
    virtual std::unique_ptr<RowView> createRowView(int index, const std::string& name,
                                                   const std::string& commandline,
                                                   const RowCells& cells) = 0;
};
