#include "ui/model/TrayState.h"

TrayState TrayState::of(const std::vector<RowStatus>& rows) {
    TrayState state;
    for (const RowStatus& row : rows) {
        ++state.total;
        // A server just launched counts (it runs until it is seen to end);
        // one on its way down does not.
        if (row.state == ServerState::Running || row.state == ServerState::Starting)
            ++state.running;
        else if (row.colour == RowColour::Alarm)
            state.down.push_back(row.name);
    }
    state.alarm = !state.down.empty();
    return state;
}

std::string TrayState::tooltip() const {
    std::string text = "Procward: " + std::to_string(running) + "/" + std::to_string(total) + " 运行中";
    if (down.empty()) return text;
    text += "\n未运行：";
    for (std::size_t i = 0; i < down.size() && i < kNamesShown; ++i) text += (i ? ", " : "") + down[i];
    if (down.size() > kNamesShown) text += " 等 " + std::to_string(down.size()) + " 个";
    return text;
}
