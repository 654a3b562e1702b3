#include <gtest/gtest.h>

#include "supervision/MonitoredServer.h"
#include "ui/model/TrayState.h"

namespace {

// Records as the checks leave them: running (a process ID), or down with
// auto-start on (the checks keep trying) or off (stopped by the operator).
void add(std::map<std::int32_t, MonitoredServer>& servers, int index, int pid, bool autoStart) {
    MonitoredServer& server = servers[index];
    server.info.index = index;
    server.info.pid = pid;
    server.autoStart = autoStart;
}

TEST(TrayStateTest, CountsRunningServersAndRaisesTheAlarmOnlyForOnesThatShouldRun) {
    std::map<std::int32_t, MonitoredServer> servers;
    EXPECT_EQ((TrayState{0, 0, false}), TrayState::of(servers));
    EXPECT_EQ("Procward: 0/0 运行中", TrayState::of(servers).tooltip());

    add(servers, 1, 4100, true);
    add(servers, 2, 4200, false);  // running with auto-start off still runs
    add(servers, 3, 0, false);     // stopped by the operator: no alarm
    EXPECT_EQ((TrayState{2, 3, false}), TrayState::of(servers));
    EXPECT_EQ("Procward: 2/3 运行中", TrayState::of(servers).tooltip());

    add(servers, 5, 0, true);  // gone, and its restart failed
    EXPECT_EQ((TrayState{2, 4, true}), TrayState::of(servers));
    EXPECT_EQ("Procward: 2/4 运行中", TrayState::of(servers).tooltip());

    servers.at(5).info.pid = 5100;  // restarted
    EXPECT_EQ((TrayState{3, 4, false}), TrayState::of(servers));
}

TEST(TrayStateTest, TheRowCellsFlagAServerDownWithAutoStartOn) {
    MonitoredServer server;
    server.info.pid = 0;
    server.autoStart = true;
    EXPECT_TRUE(server.rowCells().downWithAutoStart);
    EXPECT_EQ("", server.rowCells().pid);
    server.autoStart = false;
    EXPECT_FALSE(server.rowCells().downWithAutoStart);
    server.info.pid = 77;
    EXPECT_FALSE(server.rowCells().downWithAutoStart);
    server.autoStart = true;
    EXPECT_FALSE(server.rowCells().downWithAutoStart);
    EXPECT_EQ("77", server.rowCells().pid);
}

}  // namespace
