#include "ui/model/TrayState.h"

TrayState TrayState::of(const std::vector<RowCells>& rows) {
    TrayState state;
    for (const RowCells& row : rows) {
        ++state.total;
        if (!row.pid.empty())
            ++state.running;
        else if (row.downWithAutoStart)
            state.alarm = true;
    }
    return state;
}

std::string TrayState::tooltip() const {
    return "Procward: " + std::to_string(running) + "/" + std::to_string(total) + " 运行中";
}
