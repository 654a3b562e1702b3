// How the window words the end of a server's process, in the column
// "上次退出" and its tooltip, and the other cells of what happened to it:
// its uptime, restarts, processor and memory use.
#include <chrono>

#include <gtest/gtest.h>

#include <map>

#include "ui/model/ReasonText.h"
#include "ui/model/RecentEvents.h"
#include "ui/model/RowStatus.h"
#include "ui/model/UsageMeter.h"

namespace {

LastExit ended(platform::ExitStatus::How how, int value, bool core = false) {
    LastExit exit;
    exit.status = platform::ExitStatus{how, value, core};
    exit.launchedHere = true;
    return exit;
}

TEST(RowTextTest, CodesSignalsCoreDumpsAndUnknownEndsReadInTheWindowsWords) {
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
    EXPECT_EQ("退出码 3，运行了 0.8秒", RowStatus::lastExitSummary(ran));

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

TEST(RowTextTest, DurationsCountsAndUsageReadInTheWindowsWords) {
    using std::chrono::seconds;
    const std::pair<Clock::Duration, const char*> durations[] = {{std::chrono::milliseconds(0), "0.0秒"},
                                                                 {std::chrono::milliseconds(9960), "9.9秒"},
                                                                 {seconds(10), "10秒"},
                                                                 {seconds(59), "59秒"},
                                                                 {seconds(60), "1分"},
                                                                 {seconds(5 * 60 + 12), "5分12秒"},
                                                                 {seconds(3 * 3600 + 12 * 60 + 5), "3小时12分"},
                                                                 {seconds(2 * 86400 + 59), "2天"},
                                                                 {seconds(3 * 86400 + 4 * 3600 + 1800), "3天4小时"}};
    for (const auto& [duration, text] : durations) EXPECT_EQ(text, RowStatus::durationText(duration));

    // The uptime belongs to a process held; the restart count is the report's.
    ServerReport report;
    report.state = ServerState::Running;
    report.pid = 4242;
    report.uptime = seconds(3 * 86400 + 4 * 3600);
    report.restarts = 7;
    RowStatus row = RowStatus::of(report);
    EXPECT_EQ("3天4小时", row.uptime);
    EXPECT_EQ("7", row.restarts);
    EXPECT_NE(std::string::npos, row.tooltip.find("已运行：3天4小时")) << row.tooltip;
    report.state = ServerState::Backoff;  // its last pid lingers in the record
    row = RowStatus::of(report);
    EXPECT_EQ("", row.uptime);
    EXPECT_EQ("7", row.restarts);

    EXPECT_EQ("0.0%", UsageMeter::percentText(0));
    EXPECT_EQ("12.5%", UsageMeter::percentText(12.5));
    EXPECT_EQ("640 KB", UsageMeter::memoryText(640 * 1024));
    EXPECT_EQ("12.3 MB", UsageMeter::memoryText(12897485));
    EXPECT_EQ("1.25 GB", UsageMeter::memoryText(1342177280ULL));
}

TEST(RowTextTest, TheMeterTakesTheShareOfACoreBetweenTwoLooksAtOneProcess) {
    // Readings scripted by process: what the system would say at each look.
    std::map<int, UsageMeter::Reading> system;
    UsageMeter meter([&system](int pid) { return system[pid]; });
    const Clock::TimePoint t0{};
    system[100] = {10.0, 8u << 20};
    meter.measure(1, 100, t0);
    // One look: memory, but no share yet.
    EXPECT_EQ("", meter.cells(1, 100).cpu);
    EXPECT_EQ("8.0 MB", meter.cells(1, 100).memory);
    system[100] = {11.5, 9u << 20};
    meter.measure(1, 100, t0 + std::chrono::seconds(3));
    EXPECT_EQ("50.0%", meter.cells(1, 100).cpu);
    EXPECT_EQ("9.0 MB", meter.cells(1, 100).memory);
    // A look right after another keeps the last share.
    system[100] = {11.6, 9u << 20};
    meter.measure(1, 100, t0 + std::chrono::milliseconds(3100));
    EXPECT_EQ("50.0%", meter.cells(1, 100).cpu);
    // Another process (a restart) starts afresh; asked for the old process
    // the meter has nothing.
    system[200] = {0.2, 1u << 20};
    meter.measure(1, 200, t0 + std::chrono::seconds(6));
    EXPECT_EQ("", meter.cells(1, 200).cpu);
    EXPECT_EQ(UsageMeter::Cells{}.memory, meter.cells(1, 100).memory);
    system[200] = {0.2, 1u << 20};
    meter.measure(1, 200, t0 + std::chrono::seconds(9));
    EXPECT_EQ("0.0%", meter.cells(1, 200).cpu);
    // A process gone between the check and the look shows nothing; a server
    // without a process, or no longer listed, is forgotten.
    system[200] = {};
    meter.measure(1, 200, t0 + std::chrono::seconds(12));
    EXPECT_EQ("", meter.cells(1, 200).cpu);
    EXPECT_EQ("", meter.cells(1, 200).memory);
    system[300] = {1.0, 1u << 20};
    meter.measure(2, 300, t0);
    meter.forget([](std::int32_t index) { return index != 2; });
    EXPECT_EQ("", meter.cells(2, 300).memory);
}

TEST(RowTextTest, ReasonsFromTheSystemAndTheTransferLibraryReadInChineseAndUnknownOnesStayAsTheyCame) {
    const std::pair<const char*, const char*> reasons[] = {
        {"cannot execute '/srv/game/gs': No such file or directory", "无法执行 '/srv/game/gs'：找不到文件或目录"},
        {"cannot execute '/srv/game/gs': Permission denied", "无法执行 '/srv/game/gs'：权限不足"},
        {"cannot change to the working directory '/srv/x': Not a directory", "无法进入工作目录 '/srv/x'：不是目录"},
        {"cannot start a process: Resource temporarily unavailable", "无法启动进程：资源暂时不可用"},
        {"The system cannot find the file specified.", "系统找不到指定的文件。"},
        {"Couldn't connect to server", "无法连接到服务器"},
        {"GET http://127.0.0.1:8080/healthz: Timeout was reached", "GET http://127.0.0.1:8080/healthz: 连接超时"},
        {"was killed by signal 9 (SIGKILL)", "被信号 9 (SIGKILL) 终止"},
        {"was killed by signal 11 (SIGSEGV) (core dumped)", "被信号 11 (SIGSEGV) 终止（已转储核心）"},
        {"exited with code 3", "退出码 3"},
        {"exit status unknown (not started by this Procward)", "退出状态未知（非本程序启动）"},
        {"HTTP 503 from /healthz", "HTTP 503 from /healthz"},
        {"", ""}};
    for (const auto& [english, chinese] : reasons) EXPECT_EQ(chinese, ReasonText::chinese(english)) << english;

    // The row's tooltip and health tip, and the list of events, use them.
    ServerReport report;
    report.state = ServerState::Failing;
    report.startError = "cannot execute '/srv/gs': No such file or directory";
    EXPECT_NE(std::string::npos, RowStatus::of(report).tooltip.find("启动错误：无法执行 '/srv/gs'：找不到文件或目录"));
    report.state = ServerState::Running;
    report.health = HealthState::Unhealthy;
    report.healthReason = "Couldn't connect to server";
    EXPECT_EQ("健康检查失败: 无法连接到服务器", RowStatus::of(report).healthTip);

    RecentEvents events;
    AlertEvent failed;
    failed.kind = AlertKind::StartFailed;
    failed.index = 2;
    failed.name = "gs2";
    failed.time = 1000;
    failed.reason = report.startError = "cannot execute '/srv/gs': No such file or directory";
    events.add(failed);
    AlertEvent down;
    down.kind = AlertKind::ServerDown;
    down.index = 2;
    down.name = "gs2";
    down.reason = "exited with code 3";
    events.add(down);
    events.add(down, "退出码 3（已转储核心）");
    ASSERT_EQ(3u, events.entries().size());
    EXPECT_EQ("进程退出（退出码 3（已转储核心）），将重启", events.entries()[0].what);
    EXPECT_EQ("进程退出（退出码 3），将重启", events.entries()[1].what);
    EXPECT_EQ((RecentEvents::Entry{1000, "gs2", "启动失败：无法执行 '/srv/gs'：找不到文件或目录"}),
              events.entries()[2]);
    // The last 200 are kept, the newest first.
    for (int i = 0; i < 250; ++i) {
        AlertEvent started;
        started.kind = AlertKind::Restarted;
        started.index = 1;
        started.name = "gs1";
        started.pid = 1000 + i;
        events.add(started);
    }
    EXPECT_EQ(RecentEvents::kKept, events.entries().size());
    EXPECT_EQ(253u, events.count());
    EXPECT_EQ("重启成功，进程ID 1249", events.entries().front().what);
    EXPECT_EQ("重启成功，进程ID 1050", events.entries().back().what);
}

}  // namespace
