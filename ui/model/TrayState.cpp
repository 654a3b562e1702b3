#include "ui/model/TrayState.h"

TrayState TrayState::of(const std::map<std::int32_t, MonitoredServer>& servers) {
    TrayState state;
    for (const auto& [index, server] : servers) {
        ++state.total;
        if (server.info.pid > 0)
            ++state.running;
        else if (server.rowCells().downWithAutoStart)
            state.alarm = true;
    }
    return state;
}

std::string TrayState::tooltip() const {
    return "Procward: " + std::to_string(running) + "/" + std::to_string(total) + " 运行中";
}
