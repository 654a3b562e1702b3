#include <gtest/gtest.h>

#include "ui/model/TrayState.h"

namespace {

// Rows as the checks leave them: running (a process ID), or down with
// auto-start on (the checks keep trying) or off (stopped by the operator).
RowCells row(const std::string& pid, bool downWithAutoStart) {
    RowCells cells;
    cells.pid = pid;
    cells.downWithAutoStart = downWithAutoStart;
    return cells;
}

TEST(TrayStateTest, CountsRunningServersAndRaisesTheAlarmOnlyForOnesThatShouldRun) {
    std::vector<RowCells> rows;
    EXPECT_EQ((TrayState{0, 0, false}), TrayState::of(rows));
    EXPECT_EQ("Procward: 0/0 运行中", TrayState::of(rows).tooltip());

    rows.push_back(row("4100", false));
    rows.push_back(row("4200", false));  // running with auto-start off still runs
    rows.push_back(row("", false));      // stopped by the operator: no alarm
    EXPECT_EQ((TrayState{2, 3, false}), TrayState::of(rows));
    EXPECT_EQ("Procward: 2/3 运行中", TrayState::of(rows).tooltip());

    rows.push_back(row("", true));  // gone, and its restart failed
    EXPECT_EQ((TrayState{2, 4, true}), TrayState::of(rows));
    EXPECT_EQ("Procward: 2/4 运行中", TrayState::of(rows).tooltip());

    rows.back() = row("5100", false);  // restarted
    EXPECT_EQ((TrayState{3, 4, false}), TrayState::of(rows));
}

}  // namespace
