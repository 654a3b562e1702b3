#include <gtest/gtest.h>

#include "ui/model/TrayState.h"

namespace {

RowStatus row(const std::string& name, ServerState state, RowColour colour = RowColour::Plain) {
    RowStatus status;
    status.name = name;
    status.state = state;
    status.colour = colour;
    return status;
}

TEST(TrayStateTest, CountsRunningServersAsCtlDoesAndNamesUnhealthyAndDownOnesApart) {
    std::vector<RowStatus> rows;
    EXPECT_EQ((TrayState{0, 0, false, {}, {}}), TrayState::of(rows));
    EXPECT_EQ("Procward\n运行 0\n不健康 0\n停止 0", TrayState::of(rows).tooltip());

    rows.push_back(row("a", ServerState::Running));
    rows.push_back(row("b", ServerState::Stopping, RowColour::Busy));  // on its way down: not running
    rows.push_back(row("c", ServerState::Starting, RowColour::Busy));  // not confirmed yet: not running
    rows.push_back(row("d", ServerState::Stopped));                    // kept down by the operator: no alarm
    EXPECT_EQ((TrayState{1, 4, false, {}, {}}), TrayState::of(rows));
    EXPECT_EQ("Procward\n运行 1\n不健康 0\n停止 3", TrayState::of(rows).tooltip());

    rows.push_back(row("crasher", ServerState::Backoff, RowColour::Alarm));
    rows.push_back(row("gone", ServerState::Failing, RowColour::Alarm));
    RowStatus sick = row("sick", ServerState::Running);
    sick.unhealthy = true;
    rows.push_back(sick);
    const TrayState state = TrayState::of(rows);
    EXPECT_TRUE(state.alarm);
    EXPECT_EQ("Procward\n运行 1\n不健康 1\n停止 5\n不健康：sick\n未运行：crasher, gone", state.tooltip());
}

TEST(TrayStateTest, AlongListOfDownServersIsCut) {
    std::vector<RowStatus> rows;
    for (int i = 1; i <= 7; ++i) rows.push_back(row("s" + std::to_string(i), ServerState::Failing, RowColour::Alarm));
    EXPECT_EQ("Procward\n运行 0\n不健康 0\n停止 7\n未运行：s1, s2, s3, s4, s5 等 7 个", TrayState::of(rows).tooltip());
}

}  // namespace
