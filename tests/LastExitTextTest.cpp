// How the window words the end of a server's process, in the column
// "上次退出" and its tooltip.
#include <chrono>

#include <gtest/gtest.h>

#include "ui/model/RowStatus.h"

namespace {

LastExit ended(platform::ExitStatus::How how, int value, bool core = false) {
    LastExit exit;
    exit.status = platform::ExitStatus{how, value, core};
    exit.launchedHere = true;
    return exit;
}

TEST(LastExitTextTest, CodesSignalsCoreDumpsAndUnknownEndsReadInTheWindowsWords) {
    using How = platform::ExitStatus::How;
    EXPECT_EQ("退出码 3", RowStatus::lastExitText(ended(How::Code, 3)));
    EXPECT_EQ("退出码 0", RowStatus::lastExitText(ended(How::Code, 0)));
    EXPECT_EQ("退出码 -1", RowStatus::lastExitText(ended(How::Code, -1)));
    // A Windows status is written as the system writes it.
    EXPECT_EQ("退出码 0xC0000005", RowStatus::lastExitText(ended(How::Code, static_cast<int>(0xC0000005u))));
    EXPECT_EQ("被信号 9 (SIGKILL) 终止", RowStatus::lastExitText(ended(How::Signal, 9)));
    EXPECT_EQ("被信号 11 (SIGSEGV) 终止（已转储核心）", RowStatus::lastExitText(ended(How::Signal, 11, true)));

    LastExit unknown;
    unknown.launchedHere = true;
    EXPECT_EQ("退出状态未知", RowStatus::lastExitText(unknown));
    unknown.launchedHere = false;
    EXPECT_EQ("退出状态未知（非本程序启动）", RowStatus::lastExitText(unknown));
    // How long it ran goes to the tooltip, where it is known.
    EXPECT_EQ("退出状态未知（非本程序启动）", RowStatus::lastExitSummary(unknown));
    LastExit ran = ended(How::Code, 3);
    ran.ran = std::chrono::milliseconds(800);
    EXPECT_EQ("退出码 3，运行了 0.8 s", RowStatus::lastExitSummary(ran));

    // The row takes it from the record's report, and none before any end.
    ServerReport report;
    report.state = ServerState::Running;
    EXPECT_EQ("", RowStatus::of(report).lastExit);
    report.exit = ended(How::Signal, 15);
    report.lastExit = "was killed by signal 15 (SIGTERM)";
    const RowStatus row = RowStatus::of(report);
    EXPECT_EQ("被信号 15 (SIGTERM) 终止", row.lastExit);
    EXPECT_NE(std::string::npos, row.tooltip.find("上次退出：被信号 15 (SIGTERM) 终止")) << row.tooltip;
    EXPECT_EQ(std::string::npos, row.tooltip.find("was killed")) << row.tooltip;
}

}  // namespace
