#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "log/AppLogger.h"
#include "platform/ProcessTable.h"
#include "platform/TcpTable.h"
#include "platform/linux/LinuxProcessTable.h"
#include "supervision/MachineLook.h"
#include "supervision/RowCells.h"
#include "supervision/Supervisor.h"
#include "supervision/SystemClock.h"
#include "tests/support/SupervisionFixture.h"

using namespace std::chrono_literals;

namespace {

using SupervisionTest = SupervisionFixture;

// --- the checks of one record ---

TEST_F(SupervisionTest, FirstCheckStartsAServerThatIsNotRunningAndReadsItsAddressOnceSettled) {
    const int port = freeTcpPort();
    make().load({entry(1, "gs1", "--listen 127.0.0.1:" + std::to_string(port))});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(processAlive(pid));
    EXPECT_GT(record(1).info().startTime, 0);
    EXPECT_TRUE(record(1).autoStart());
    // The address is read once the server has had its moment to settle,
    // and not before, even when the port is open already.
    EXPECT_EQ("", record(1).info().ports);
    std::vector<platform::TcpListener> listeners;
    ASSERT_TRUE(waitFor([&] { return platform::tcpTable().listenersOf(pid, listeners) && !listeners.empty(); }));
    clock.advance(209ms);
    supervisor->runDue();
    EXPECT_EQ("", record(1).info().ports);
    clock.advance(1ms);
    supervisor->runDue();
    EXPECT_EQ("127.0.0.1:" + std::to_string(port), record(1).info().ports);
    EXPECT_EQ(1, changes[1]);

    const std::string text = log();
    EXPECT_NE(std::string::npos, text.find("[DEBUG]: Enabled autoStart mode for gs1\r\n"));
    EXPECT_NE(std::string::npos, text.find("[DEBUG]: service is closed, autoStart gs1 true\r\n"));
    // It was not running before: started, not "not working".
    EXPECT_EQ((std::vector<std::string>{"gs1 started successfully: pid=" + std::to_string(pid)}), mailedAlerts());
    ASSERT_EQ(1u, alerts.events.size());
    const AlertEvent& started = alerts.events[0];
    EXPECT_EQ(AlertKind::Started, started.kind);
    EXPECT_EQ(1, started.index);
    EXPECT_EQ("gs1", started.name);
    EXPECT_EQ(pid, started.pid);
    EXPECT_EQ("", started.reason);

    // Ticks with nothing changed report nothing.
    tick();
    tick();
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ(1, changes[1]);
}

TEST_F(SupervisionTest, TheSettleReadSeesAPortOpenedWithinItsMoment) {
    const int port = freeTcpPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    make().load({entry(1, "late", "--listen-after 100 " + address)});
    ASSERT_GT(record(1).info().pid, 0);
    EXPECT_EQ("", RowCells::of(record(1)).ports);
    EXPECT_EQ(std::to_string(record(1).info().pid), RowCells::of(record(1)).pid);  // the PID shows at once
    std::vector<platform::TcpListener> listeners;
    ASSERT_TRUE(waitFor([&] {
        return platform::tcpTable().listenersOf(record(1).info().pid, listeners) && !listeners.empty();
    }));
    clock.advance(210ms);
    supervisor->runDue();
    EXPECT_EQ(address, record(1).info().ports);
}

TEST_F(SupervisionTest, AKilledServerIsAlertedAndRestartedWithAutoStartOn) {
    options.restartOnExit = false;
    TestServer original({"--role", "restart"}, program);
    make().load({entry(1, "gs1", "--role restart")});
    EXPECT_EQ(original.pid(), record(1).info().pid);
    EXPECT_TRUE(noAlerts());  // found running: no alert

    original.kill();
    tick();
    const int restarted = record(1).info().pid;
    ASSERT_GT(restarted, 0);
    EXPECT_NE(original.pid(), restarted);
    EXPECT_EQ((std::vector<std::string>{"gs1" + kNotWorking, "gs1 started successfully: pid=" + std::to_string(restarted)}),
              mailedAlerts());
    EXPECT_NE(std::string::npos, log().find("[DEBUG]: service is closed, autoStart gs1 true\r\n"));
    // Each transition is told: down, then starting again.
    EXPECT_EQ(2, changes[1]);
}

TEST_F(SupervisionTest, AKilledServerWithAutoStartOffIsNeitherAlertedNorRestarted) {
    const int port = freeTcpPort();
    TestServer original({"--listen", "127.0.0.1:" + std::to_string(port)}, program);
    make().load({entry(1, "gs1", "--listen 127.0.0.1:" + std::to_string(port))});
    ASSERT_EQ(original.pid(), record(1).info().pid);
    ASSERT_FALSE(record(1).info().ports.empty());
    const std::int64_t startTime = record(1).info().startTime;
    ASSERT_GT(startTime, 0);
    supervisor->setAutoStart(1, false);
    EXPECT_EQ(1, changes[1]);  // the row shows it: no alarm when it goes
    changes.clear();

    original.kill();
    tick();
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_EQ("", record(1).info().ports);
    EXPECT_EQ(0, record(1).info().startTime);  // no process, no start time: as after a stop
    EXPECT_FALSE(RowCells::of(record(1)).downWithAutoStart);  // stopped on purpose: no alarm
    EXPECT_EQ(1, changes[1]);
    tick();
    EXPECT_EQ(1, changes[1]);
    EXPECT_TRUE(noAlerts());
    EXPECT_EQ(std::string::npos, log().find("service is closed"));
}

TEST_F(SupervisionTest, AServerThatCannotBeStartedIsTriedAtEveryCheckButAlertedOnce) {
    const std::string copy = copyTestServer(dir.file("gamesvr"));
    options.restartOnExit = false;
    TestServer original({"-x"}, copy);
    make().load({entry(1, "gs2", "-x", copy)});
    ASSERT_EQ(original.pid(), record(1).info().pid);

    original.kill();
    std::filesystem::remove(copy);
    tick();
    tick();
    tick();
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_TRUE(record(1).autoStart());
    EXPECT_TRUE(RowCells::of(record(1)).downWithAutoStart);  // the window shows the alarm
    EXPECT_EQ(3u, count(log(), "[DEBUG]: service is closed, autoStart gs2 false\r\n"));
    EXPECT_EQ((std::vector<std::string>{"gs2" + kNotWorking}), mailedAlerts());
}

TEST_F(SupervisionTest, AChangedListenAddressAloneIsAChange) {
    const int first = freeTcpPort(), later = freeTcpPort();
    const std::string arguments =
        "--listen 0.0.0.0:" + std::to_string(first) + " --listen-on-signal 127.0.0.1:" + std::to_string(later);
    TestServer process({"--listen", "0.0.0.0:" + std::to_string(first), "--listen-on-signal",
                        "127.0.0.1:" + std::to_string(later)},
                       program);
    make().load({entry(1, "gs3", arguments)});
    EXPECT_EQ("0.0.0.0:" + std::to_string(first), record(1).info().ports);
    tick();
    EXPECT_EQ(0, changes[1]);

    ::kill(process.pid(), SIGUSR1);
    std::vector<platform::TcpListener> listeners;
    ASSERT_TRUE(waitFor([&] { return platform::tcpTable().listenersOf(process.pid(), listeners) && listeners.size() == 2; }));
    tick();
    EXPECT_EQ(1, changes[1]);
    EXPECT_EQ(process.pid(), record(1).info().pid);
    EXPECT_EQ("127.0.0.1:" + std::to_string(later), record(1).info().ports);
}

TEST_F(SupervisionTest, StartOnARunningServerLaunchesNothingButTurnsAutoStartOn) {
    TestServer process({"--role", "running"}, program);
    make().load({entry(1, "gs4", "--role running")});
    supervisor->setAutoStart(1, false);
    EXPECT_FALSE(record(1).autoStart());
    EXPECT_EQ(1, changes[1]);  // the row shows the auto-start mode
    const auto result = await([&](CommandDone done) { supervisor->start(1, done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::AlreadyRunning, result->status);
    EXPECT_EQ("gs4", result->name);
    EXPECT_EQ(process.pid(), result->pid);
    EXPECT_TRUE(record(1).autoStart());
    EXPECT_EQ(2, changes[1]);
    EXPECT_EQ(1, running({"--role", "running"}));
    EXPECT_NE(std::string::npos, log().find("[DEBUG]: Enabled autoStart mode for gs4\r\n"));
    EXPECT_TRUE(noAlerts());
}

TEST_F(SupervisionTest, ALaunchFailureIsReportedWithTheSystemsReasonAndKeepsAutoStart) {
    make().load({});
    supervisor->load({entry(1, "gs5", "-x", dir.file("missing/procward-testserver"))});
    supervisor->setAutoStart(1, false);
    alerts.events.clear();
    const auto result = await([&](CommandDone done) { supervisor->start(1, done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::StartFailed, result->status);
    EXPECT_TRUE(record(1).autoStart());
    EXPECT_EQ(0, record(1).info().pid);
    // Raised, with the launcher's reason, but not among the alerts mailed.
    ASSERT_EQ(1u, alerts.events.size());
    EXPECT_EQ(AlertKind::StartFailed, alerts.events[0].kind);
    EXPECT_EQ(std::strerror(ENOENT), alerts.events[0].reason);
    const std::string failure =
        "cannot execute '" + dir.file("missing/procward-testserver") + "': " + std::strerror(ENOENT);
    EXPECT_EQ("gs5 could not be started: " + failure, alerts.events[0].message);
    EXPECT_EQ(failure, record(1).startError());
    EXPECT_EQ(ServerState::Failing, record(1).state());
    EXPECT_NE(std::string::npos, log().find("[ERROR]: gs5 could not be started: " + failure + "\r\n"));
    EXPECT_TRUE(noAlerts());
}

TEST_F(SupervisionTest, StopEndsTheProcessOnceItHasGoneAndKeepsItDown) {
    TestServer process({"--role", "stop"}, program);
    make().load({entry(1, "gs6", "--role stop")});
    ASSERT_EQ(process.pid(), record(1).info().pid);
    const int before = wakeCount();
    std::optional<CommandResult> done;
    supervisor->stop(1, [&](const CommandResult& result) { done = result; });
    EXPECT_FALSE(record(1).autoStart());
    if (!done) {
        // The row shows the stop until the process has gone.
        EXPECT_EQ("停止中", RowCells::of(record(1)).startStopCaption);
        ASSERT_TRUE(waitForWake(before));
        supervisor->runDue();
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(CommandStatus::Done, done->status);
    EXPECT_EQ("gs6", done->name);
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_EQ("", record(1).info().ports);
    EXPECT_EQ(0, record(1).info().startTime);
    EXPECT_EQ("启动", RowCells::of(record(1)).startStopCaption);
    EXPECT_EQ(1u, count(log(), "[INFO ]: Disabled autoStart mode for gs6\r\n"));
    // Stopped with auto-start off: the next checks leave it stopped.
    tick();
    EXPECT_EQ(0, running({"--role", "stop"}));

    // A stop of a server that is down keeps it down: auto-start goes off
    // and the observers hear of it at once.
    supervisor->setAutoStart(1, true);
    EXPECT_TRUE(RowCells::of(record(1)).downWithAutoStart);
    const int seen = changes[1];
    auto again = await([&](CommandDone callback) { supervisor->stop(1, callback); });
    ASSERT_TRUE(again);
    EXPECT_EQ(CommandStatus::NotRunning, again->status);
    EXPECT_FALSE(record(1).autoStart());
    EXPECT_FALSE(RowCells::of(record(1)).downWithAutoStart);
    EXPECT_EQ(seen + 1, changes[1]);
    EXPECT_EQ(2u, count(log(), "Disabled autoStart mode for gs6"));
    // Once more changes nothing: nothing logged, nobody told.
    again = await([&](CommandDone callback) { supervisor->stop(1, callback); });
    EXPECT_EQ(CommandStatus::NotRunning, again->status);
    EXPECT_EQ(seen + 1, changes[1]);
    EXPECT_EQ(2u, count(log(), "Disabled autoStart mode"));
}

TEST_F(SupervisionTest, RestartReplacesTheProcessWithoutAServiceAlertAndStartsAServerKeptDown) {
    TestServer process({"--role", "edit"}, program);
    make().load({entry(1, "gs7", "--role edit")});
    const auto result = await([&](CommandDone done) { supervisor->restart(1, done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::Done, result->status);
    const int restarted = record(1).info().pid;
    ASSERT_GT(restarted, 0);
    EXPECT_EQ(restarted, result->pid);
    EXPECT_NE(process.pid(), restarted);
    EXPECT_FALSE(processAlive(process.pid()));
    EXPECT_TRUE(record(1).autoStart());
    EXPECT_EQ(std::string::npos, log().find("Disabled autoStart mode"));
    EXPECT_EQ((std::vector<std::string>{"gs7 started successfully: pid=" + std::to_string(restarted)}), mailedAlerts());

    // Kept down by a stop, it is started again by a restart.
    ASSERT_EQ(CommandStatus::Done, await([&](CommandDone done) { supervisor->stop(1, done); })->status);
    ASSERT_FALSE(record(1).autoStart());
    const auto again = await([&](CommandDone done) { supervisor->restart(1, done); });
    EXPECT_EQ(CommandStatus::Done, again->status);
    EXPECT_GT(record(1).info().pid, 0);
    EXPECT_TRUE(record(1).autoStart());
}

TEST_F(SupervisionTest, ALaunchedServerIsHeldEvenWhereItsCommandLineCouldNeverFindIt) {
    // The file name differs in case from the command line: a process of
    // this entry can never be found by matching. What was launched is held
    // all the same, so no check launches another copy.
    options.restartOnExit = false;
    ServerEntry unrecognised = entry(1, "gs8", "--unrecognised " + std::to_string(::getpid()));
    unrecognised.processname = "Procward-TestServer";
    make().load({unrecognised});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    tick();
    tick();
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ(ServerState::Running, record(1).state());
    EXPECT_EQ(1, running({"--unrecognised", std::to_string(::getpid())}));
    EXPECT_EQ(1u, count(log(), "Enabled autoStart mode for gs8"));
    EXPECT_EQ((std::vector<std::string>{"gs8 started successfully: pid=" + std::to_string(pid)}), mailedAlerts());
}

TEST_F(SupervisionTest, AServerThatExitsAtOnceIsAFailedStartWithItsExitCode) {
    ExitingLauncher exiting;
    make(exiting).load({entry(1, "quick", "--exit-code 3")});
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_EQ(ServerState::Failing, record(1).state());
    ASSERT_TRUE(record(1).lastExit());
    EXPECT_EQ("exited with code 3", record(1).lastExit()->reason());
    EXPECT_NE(std::string::npos, log().find("[WARNING]: quick exited with code 3 after 0."));
    EXPECT_EQ(1u, count(log(), "service is closed, autoStart quick false"));
    // Nothing started successfully.
    EXPECT_TRUE(noAlerts());
}

// --- the alerts ---

TEST_F(SupervisionTest, TheAlertSinkHearsOfAKillAFailedStartAndTheBackoffMaximumInOrder) {
    options.restartOnExit = false;
    options.restartBackoffMax = 2s;
    const std::string copy = copyTestServer(dir.file("gamesvr"));
    // The calendar time as the supervisor reads it (time() may lag it by a
    // clock tick across a second's turn).
    const auto calendar = [] { return SystemClock::Instance().secondsSince1970(); };
    const std::int64_t before = calendar();
    make().load({entry(1, "gs", "-x", copy)});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    tick();  // seen running

    // Killed, and its program gone: the restart cannot even be launched.
    std::filesystem::remove(copy);
    killAndWait(pid);
    tick();  // down, launch failed; the next attempt waits one interval
    tick();  // failed again; the wait has reached its maximum of 2 s
    tick();  // within the wait: nothing is tried
    EXPECT_EQ((std::vector<AlertKind>{AlertKind::Started, AlertKind::ServerDown, AlertKind::StartFailed,
                                      AlertKind::StartFailed, AlertKind::BackoffMax}),
              alerts.kinds());
    ASSERT_EQ(5u, alerts.events.size());
    const std::string reason = std::strerror(ENOENT);
    const std::string failure = "gs could not be started: cannot execute '" + copy + "': " + reason;
    const std::vector<std::string> messages{"gs started successfully: pid=" + std::to_string(pid), "gs" + kNotWorking,
                                            failure, failure,
                                            "gs keeps failing: 1 restarts in 0 minutes; next attempt in 2 s"};
    EXPECT_EQ(messages, alerts.messages());
    for (std::size_t i = 0; i < alerts.events.size(); ++i) {
        const AlertEvent& event = alerts.events[i];
        EXPECT_EQ(1, event.index) << i;
        EXPECT_EQ("gs", event.name) << i;
        EXPECT_EQ(kAlertSubject, event.subject) << i;
        // A failed launch carries the system's reason, the fall how the
        // process ended, the back-off why the last start failed.
        EXPECT_EQ(event.kind == AlertKind::StartFailed  ? reason
                  : event.kind == AlertKind::ServerDown ? "was killed by signal 9 (SIGKILL)"
                  : event.kind == AlertKind::BackoffMax ? "cannot execute '" + copy + "': " + reason
                                                        : "",
                  event.reason)
            << i;
        EXPECT_EQ(event.kind == AlertKind::Started ? pid : 0, event.pid) << i;
        EXPECT_GE(event.time, before) << i;
        EXPECT_LE(event.time, calendar()) << i;
    }
    // On the supervisor's clock: the fall and the first attempt at one tick,
    // the next attempt one interval later, the maximum reported with it.
    EXPECT_EQ(alerts.events[1].at, alerts.events[2].at);
    EXPECT_EQ(alerts.events[2].at + options.checkInterval, alerts.events[3].at);
    EXPECT_EQ(alerts.events[3].at, alerts.events[4].at);
    // What the mail would carry leaves the failed launches out.
    EXPECT_EQ((std::vector<std::string>{messages[0], messages[1], messages[4]}), mailedAlerts());
}

TEST_F(SupervisionTest, AServerRunningAgainAfterAnAlertRecoversOnceItHasRunAsLongAsAStartMust) {
    options.restartOnExit = false;
    options.restartBackoffMax = 3s;
    make().load({entry(1, "gs1", "--role recover")});
    const int first = record(1).info().pid;
    ASSERT_GT(first, 0);
    for (int i = 0; i < 4; ++i) tick();
    // Started, never failed: nothing to recover from.
    EXPECT_EQ((std::vector<AlertKind>{AlertKind::Started}), alerts.kinds());

    killAndWait(first);
    tick();  // down, restarted
    const int second = record(1).info().pid;
    ASSERT_GT(second, 0);
    tick();
    tick();  // 2 s: a death now would still be a failed start
    EXPECT_EQ((std::vector<AlertKind>{AlertKind::Started, AlertKind::ServerDown, AlertKind::Restarted}),
              alerts.kinds());
    tick();  // 3 s, the back-off maximum
    tick();
    ASSERT_EQ((std::vector<AlertKind>{AlertKind::Started, AlertKind::ServerDown, AlertKind::Restarted,
                                      AlertKind::Recovered}),
              alerts.kinds());
    const AlertEvent& recovered = alerts.events.back();
    EXPECT_EQ(second, recovered.pid);
    EXPECT_EQ("gs1 recovered: running again for 3.0 s, pid=" + std::to_string(second), recovered.message);
    EXPECT_EQ(kAlertSubject, recovered.subject);

    // Stopped by the operator after a fall: no recovery is owed any more.
    killAndWait(second);
    tick();
    const int third = record(1).info().pid;
    ASSERT_GT(third, 0);
    supervisor->stop(1);
    ASSERT_TRUE(followUntil([&] { return record(1).info().pid == 0; }));
    for (int i = 0; i < 4; ++i) tick();
    ASSERT_GE(alerts.events.size(), 2u);
    EXPECT_EQ(AlertKind::Stopped, alerts.events.back().kind);
    EXPECT_EQ(AlertKind::Restarted, alerts.events[alerts.events.size() - 2].kind);
}

// --- the loop ---

TEST_F(SupervisionTest, AServerThatHasRunLongerThanTheIntervalIsRestartedAsSoonAsItExits) {
    make().load({entry(1, "steady", "--role steady")});
    ASSERT_TRUE(watching);
    const int first = record(1).info().pid;
    ASSERT_GT(first, 0);
    tick();  // the first tick, one interval after the start
    clock.advance(500ms);  // half an interval before the next
    const std::uint64_t passes = supervisor->passes();

    const int before = wakeCount();
    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitForWake(before));
    supervisor->runDue();
    EXPECT_EQ(passes, supervisor->passes());  // no tick came
    const int second = record(1).info().pid;
    EXPECT_GT(second, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ((std::vector<std::string>{"steady" + kNotWorking}), alerts.messages(AlertKind::ServerDown));
}

TEST_F(SupervisionTest, WithoutTheBackoffACrashLoopIsRestartedAtMostOncePerInterval) {
    make().load({entry(1, "crashy", "--exit-after 50")});
    ASSERT_TRUE(watching);
    int launches = 1;
    int seen = 0;
    for (int i = 0; i < 3; ++i) {
        const int pid = record(1).info().pid;
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitForWake(seen)) << "the server did not exit";
        seen = wakeCount();
        const int told = changes[1];
        supervisor->runDue();
        // It died well within the interval: its end is told at once, but
        // only the tick restarts it.
        EXPECT_EQ(0, record(1).info().pid);
        EXPECT_EQ(ServerState::Failing, record(1).state());
        EXPECT_EQ(told + 1, changes[1]);
        EXPECT_EQ("exited with code 3", record(1).lastExit()->reason());
        tick();
        ++launches;
    }
    EXPECT_EQ(static_cast<std::size_t>(launches), count(log(), "Enabled autoStart mode for crashy"));
    EXPECT_EQ(supervisor->passes(), static_cast<std::uint64_t>(launches - 1));
}

TEST_F(SupervisionTest, WithRestartOnExitOffOnlyTheTickRestarts) {
    options.restartOnExit = false;
    make().load({entry(1, "ticked", "--role ticked")});
    EXPECT_FALSE(watching);
    const int first = record(1).info().pid;
    tick();
    clock.advance(500ms);
    killAndWait(first);
    supervisor->runDue();
    EXPECT_EQ(first, record(1).info().pid);
    clock.advance(500ms);
    supervisor->runDue();
    EXPECT_NE(first, record(1).info().pid);
    EXPECT_GT(record(1).info().pid, 0);
}

TEST_F(SupervisionTest, AReloadKeepsUnchangedEntriesStopsRemovedOnesAndRestartsChangedOnes) {
    make().load({entry(1, "A", "--role a"), entry(2, "B", "--role b"), entry(3, "C", "--role c")});
    const int a = record(1).info().pid, b = record(2).info().pid, c = record(3).info().pid;
    bool stopped = false;
    supervisor->stop(1, [&](const CommandResult& result) { stopped = result.status == CommandStatus::Done; });
    ASSERT_TRUE(followUntil([&] { return stopped; }));
    ASSERT_FALSE(processAlive(a));

    // B deleted: its process is stopped as a delete stops it; A keeps its
    // stop, C moves to index 2 with its process.
    const ListChange removed = supervisor->load({entry(1, "A", "--role a"), entry(2, "C", "--role c")});
    EXPECT_EQ("removed: B; unchanged: 2", removed.text());
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_FALSE(record(1).autoStart());
    EXPECT_EQ(c, record(2).info().pid);
    EXPECT_EQ(2, record(2).info().index);
    EXPECT_TRUE(followUntil([&] { return running({"--role", "b"}) == 0; }));
    EXPECT_NE(std::string::npos,
              log().find("B was removed from the list; stopping it (pid=" + std::to_string(b) + ")"));
    tick();
    EXPECT_EQ(0, running({"--role", "a"}));
    EXPECT_EQ(c, record(2).info().pid);

    // A changed command line: the old process goes first, then the new
    // definition starts; the record keeps its history.
    const ListChange changed = supervisor->load({entry(1, "A", "--role a"), entry(2, "C", "--role c2")});
    EXPECT_EQ("changed: C (commandline); unchanged: 1", changed.text());
    // Stopping, or already stopped when the old process ended at once.
    EXPECT_TRUE(record(2).state() == ServerState::Stopping || record(2).state() == ServerState::Stopped)
        << static_cast<int>(record(2).state());
    ASSERT_TRUE(followUntil([&] { return record(2).info().pid > 0 && record(2).info().pid != c; }));
    EXPECT_FALSE(processAlive(c));
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_EQ(1, running({"--role", "c2"}));
    EXPECT_EQ(0, running({"--role", "c"}));
    EXPECT_EQ(1u, record(2).restarts());
}

TEST_F(SupervisionTest, ANewCheckIntervalTakesEffectAtOnceWithoutPostponingTheNextTick) {
    options.checkInterval = 3s;
    make().load({entry(1, "ticked", "--role ticked")});
    const std::uint64_t before = supervisor->passes();
    // Longer: the tick planned keeps its time, the ones after it follow the new interval.
    supervisor->changeCheckInterval(3600s);
    EXPECT_EQ(std::chrono::milliseconds(3600s), supervisor->options().checkInterval);
    clock.advance(3s);
    supervisor->runDue();
    EXPECT_EQ(before + 1, supervisor->passes());
    clock.advance(3s);
    supervisor->runDue();
    EXPECT_EQ(before + 1, supervisor->passes());
    // Shorter: the next tick comes one new interval from now, not an hour later.
    supervisor->changeCheckInterval(2s);
    clock.advance(2s);
    supervisor->runDue();
    EXPECT_EQ(before + 2, supervisor->passes());
}

TEST_F(SupervisionTest, AProcessMatchingTwoRecordsIsFoundByEach) {
    TestServer shared({"--role", "shared"}, program);
    make().load({entry(1, "one", "--role shared"), entry(2, "two", "--role shared")});
    EXPECT_EQ(shared.pid(), record(1).info().pid);
    EXPECT_EQ(shared.pid(), record(2).info().pid);
    EXPECT_EQ(1, running({"--role", "shared"}));
}

TEST_F(SupervisionTest, ServersWhoseArgumentsNeedQuotingStayUp) {
    const std::string spaced = dir.path() + "/my srv";
    std::filesystem::create_directory(spaced);
    const std::string inSpaced = copyTestServer(spaced + "/procward-testserver");
    make().load({entry(1, "blanks", "--role  two\\ blanks"), entry(2, "tab", "--role\t'a\tb'"),
                 entry(3, "backslash", "--role 'back\\slash'"), entry(4, "quotes", "--role \"it's\""),
                 ServerEntry{5, "spaced", "procward-testserver", "'" + inSpaced + "' -x"}});
    std::map<std::int32_t, int> pids;
    for (int i = 1; i <= 5; ++i) {
        pids[i] = record(i).info().pid;
        EXPECT_GT(pids[i], 0) << i;
    }
    tick();
    tick();
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(pids[i], record(i).info().pid) << i;
    EXPECT_EQ(std::string::npos, log().find("cannot be recognised"));
    EXPECT_EQ(5u, alerts.messages(AlertKind::Started).size());
}

TEST_F(SupervisionTest, AServerThatRewritesItsArgumentsStaysAdopted) {
    make().load({entry(1, "titled", "--set-title renamed-by-itself")});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitFor([&] {
        std::vector<std::string> args;
        return platform::LinuxProcessTable::arguments(pid, args) && args[0] == "renamed-by-itself";
    }));
    tick();
    tick();
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ(1u, alerts.messages(AlertKind::Started).size());
}

TEST_F(SupervisionTest, AServerWhoseMainThreadHasEndedIsStillItsOwn) {
    make().load({entry(1, "threads", "--exit-main-thread")});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    char target[1];
    ASSERT_TRUE(waitFor([&] { return ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, 1) < 0; }));
    tick();
    tick();
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ(1u, alerts.messages(AlertKind::Started).size());
    // A new supervisor finds it by matching, through a live thread.
    Supervisor other(clock, platform::processControl(), options);
    other.load({entry(1, "threads", "--exit-main-thread")});
    EXPECT_EQ(pid, other.find(1)->info().pid);
}

TEST_F(SupervisionTest, AStopNeverReachesAProcessThatTookOverTheID) {
    // The kernel hands out the next ID after the one written here.
    const int lastPid = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
    if (lastPid < 0) GTEST_SKIP() << "needs to set the next process ID (root)";
    options.restartOnExit = false;
    make().load({entry(1, "reused", "--role reused")});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    killAndWait(pid);
    // The ID is free only once the dead process has been reaped, not while
    // it is a zombie: the supervisor, its parent, collects it.
    ASSERT_TRUE(waitFor([&] {
        platform::processControl().reapChildren();
        return ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0;
    }));

    // Another program under the same ID; other processes of the machine may
    // take it first, so try a few times.
    pid_t impostor = 0;
    for (int attempt = 0; attempt < 20 && impostor != pid; ++attempt) {
        if (impostor > 0) {
            ::kill(impostor, SIGKILL);
            ::waitpid(impostor, nullptr, 0);
        }
        const std::string text = std::to_string(pid - 1);
        ASSERT_EQ(static_cast<ssize_t>(text.size()), ::pwrite(lastPid, text.data(), text.size(), 0));
        impostor = ::fork();
        if (impostor == 0) {
            ::pause();
            ::_exit(0);
        }
    }
    ::close(lastPid);
    if (impostor != pid) {
        ::kill(impostor, SIGKILL);
        ::waitpid(impostor, nullptr, 0);
        GTEST_SKIP() << "the ID was taken by another process";
    }
    std::optional<CommandResult> outcome;
    supervisor->stop(1, [&](const CommandResult& result) { outcome = result; });
    ASSERT_TRUE(outcome);  // at once: the process held is known to be gone
    EXPECT_EQ(CommandStatus::Done, outcome->status);
    EXPECT_EQ(0, record(1).info().pid);
    int status = 0;
    EXPECT_EQ(0, ::waitpid(impostor, &status, WNOHANG)) << "the impostor was signalled";
    ::kill(impostor, SIGKILL);
    ::waitpid(impostor, nullptr, 0);
}

TEST_F(SupervisionTest, EachPassLooksAtTheProcessTableAtMostOnce) {
    // Held and running servers need no walk at all, not even to find a
    // listener among their children; a stopped one needs one, however many
    // records there are.
    make().load({entry(1, "a", "--role a"), entry(2, "b", "--role b"), entry(3, "c", "--role c")});
    const std::uint64_t walks = supervisor->processWalks();
    for (int pass = 0; pass < 8; ++pass) tick();
    EXPECT_EQ(walks, supervisor->processWalks());
    supervisor->setAutoStart(1, false);
    supervisor->setAutoStart(2, false);
    bool stopped = false;
    supervisor->stopAll([&](const CommandResult&) { stopped = true; });
    ASSERT_TRUE(followUntil([&] { return stopped; }));
    const std::uint64_t afterStop = supervisor->processWalks();
    tick();
    EXPECT_EQ(afterStop + 1, supervisor->processWalks());
}

}  // namespace

namespace {

TEST_F(SupervisionTest, StartsBeyondTheLaunchSliceRunAtTheNextCallEachServerOnce) {
    // 1 ms lets one or a few launches through per call: the rest are put
    // off, due at once, and each server is still launched exactly once.
    options.launchSlice = 1ms;
    std::vector<ServerEntry> entries;
    for (std::int32_t i = 1; i <= 20; ++i) entries.push_back(entry(i, "slice" + std::to_string(i), "--n " + std::to_string(i)));
    make().load(entries);
    const std::int32_t first = supervisor->runningCount();
    EXPECT_GE(first, 1);
    EXPECT_LT(first, 20);
    // What was put off is due now, without waiting for a tick.
    EXPECT_LE(supervisor->nextDue(), clock.now());
    int calls = 0;
    while (supervisor->runningCount() < 20 && calls < 100) {
        supervisor->runDue();  // the clock does not move
        ++calls;
    }
    EXPECT_EQ(20, supervisor->runningCount());
    EXPECT_GE(calls, 1);
    std::set<int> pids;
    for (std::int32_t i = 1; i <= 20; ++i) pids.insert(record(i).info().pid);
    EXPECT_EQ(20u, pids.size());
    // The supervisor's own log (the output files sit beside it, in servers/).
    std::string text;
    for (const auto& file : std::filesystem::directory_iterator(dir.file("logs")))
        if (file.is_regular_file()) text += readFile(file.path());
    for (std::int32_t i = 1; i <= 20; ++i) {
        const std::string started = "service is closed, autoStart slice" + std::to_string(i) + " true";
        const auto at = text.find(started);
        ASSERT_NE(std::string::npos, at) << i;
        EXPECT_EQ(std::string::npos, text.find(started, at + 1)) << "launched twice: " << i;
    }
    // Nothing left due before the next tick.
    EXPECT_GT(supervisor->nextDue(), clock.now());
}

TEST_F(SupervisionTest, ABurstOfExitsIsRestartedInSlicesWithoutAnyTwice) {
    options.launchSlice = 1ms;
    std::vector<ServerEntry> entries;
    for (std::int32_t i = 1; i <= 12; ++i) entries.push_back(entry(i, "burst" + std::to_string(i), "--n " + std::to_string(i)));
    make().load(entries);
    while (supervisor->runningCount() < 12) supervisor->runDue();
    clock.advance(2s);  // ran longer than the interval: restarted at once
    supervisor->runDue();
    std::vector<int> old;
    for (std::int32_t i = 1; i <= 12; ++i) old.push_back(record(i).info().pid);
    const int woken = wakeCount();
    for (const int pid : old) killAndWait(pid);
    ASSERT_TRUE(waitForWake(woken));
    int calls = 0;
    auto allBack = [&] {
        for (std::int32_t i = 1; i <= 12; ++i) {
            const int pid = record(i).info().pid;
            if (pid == 0 || pid == old[static_cast<std::size_t>(i - 1)]) return false;
        }
        return true;
    };
    while (!allBack() && calls < 200) {
        supervisor->runDue();
        ++calls;
    }
    ASSERT_TRUE(allBack());
    EXPECT_GT(calls, 1) << "all twelve restarted in one call";
    for (std::int32_t i = 1; i <= 12; ++i) EXPECT_TRUE(processAlive(record(i).info().pid));
}

}  // namespace
