#include "ui/model/TrayState.h"

TrayState TrayState::of(const std::vector<RowStatus>& rows) {
    TrayState state;
    for (const RowStatus& row : rows) {
        ++state.total;
        if (row.unhealthy && row.state == ServerState::Running)
            state.unhealthy.push_back(row.name);
        else if (row.state == ServerState::Running)
            ++state.running;
        else if (row.colour == RowColour::Alarm)
            state.down.push_back(row.name);
    }
    state.alarm = !state.down.empty();
    return state;
}

std::string TrayState::tooltip() const {
    // One count a line, so that a narrow tip shows them all.
    const int sick = static_cast<int>(unhealthy.size());
    std::string text = "Procward\n运行 " + std::to_string(running) + "\n不健康 " + std::to_string(sick) + "\n停止 " +
                       std::to_string(total - running - sick);
    const auto names = [&text](const char* title, const std::vector<std::string>& list) {
        if (list.empty()) return;
        text += title;
        for (std::size_t i = 0; i < list.size() && i < kNamesShown; ++i) text += (i ? ", " : "") + list[i];
        if (list.size() > kNamesShown) text += " 等 " + std::to_string(list.size()) + " 个";
    };
    names("\n不健康：", unhealthy);
    names("\n未运行：", down);
    return text;
}
