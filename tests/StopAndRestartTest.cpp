#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "app/core/SupervisionSettings.h"
#include "config/SettingsFile.h"
#include "supervision/RowCells.h"
#include "tests/support/SupervisionFixture.h"

namespace {

class StopTest : public SupervisionFixture {
protected:
    // Stops and follows the stop until it has ended; whether it succeeded.
    std::optional<bool> stopAndFollow(std::int32_t index) {
        const auto result = await([&](CommandDone done) { supervisor->stop(index, done); });
        if (!result) return std::nullopt;
        return result->status == CommandStatus::Done;
    }
};

TEST_F(StopTest, AGracefulStopLetsTheServerSaveItsState) {
    options.stopTimeout = 10s;
    const std::string marker = dir.file("saved");
    // The server says when it has set up its handler: a request before
    // that would find it not yet listening.
    // It takes a moment to save, as a real server does: the stop is seen
    // under way before the process has gone.
    ServerEntry db = entry(1, "db", "--on-term " + marker + " --term-delay 300");
    db.options.env = {{"PROCWARD_READY_FILE", dir.file("ready")}};
    make().load({db});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.file("ready")); }));
    std::optional<CommandResult> done;
    supervisor->stop(1, [&](const CommandResult& result) { done = result; });
    EXPECT_FALSE(done.has_value());
    EXPECT_TRUE(record(1).stopping());
    // The row keeps the process until it has gone.
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ("停止中", RowCells::of(record(1)).startStopCaption);
    ASSERT_TRUE(followUntil([&] { return record(1).info().pid == 0; }));
    ASSERT_TRUE(done);
    EXPECT_EQ(CommandStatus::Done, done->status);
    EXPECT_EQ("saved\n", readFile(marker));
    EXPECT_EQ("启动", RowCells::of(record(1)).startStopCaption);
}

TEST_F(StopTest, WithATimeoutOfZeroTheServerIsKilledAtOnce) {
    options.stopTimeout = 0s;
    const std::string marker = dir.file("saved");
    make().load({entry(1, "db", "--on-term " + marker)});
    const int pid = record(1).info().pid;
    EXPECT_EQ(std::optional<bool>(true), stopAndFollow(1));
    EXPECT_FALSE(processAlive(pid));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(StopTest, AServerIgnoringTheRequestIsKilledAfterTheTimeoutWhileTheOthersAreChecked) {
    options.stopTimeout = 3s;
    ServerEntry stubbornEntry = entry(1, "stubborn", "--ignore-term");
    stubbornEntry.options.env = {{"PROCWARD_READY_FILE", dir.file("ready")}};
    make().load({stubbornEntry});
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.file("ready")); }));
    supervisor->load({entry(1, "stubborn", "--ignore-term"), entry(2, "other", "--role other")});
    const int stubborn = record(1).info().pid, other = record(2).info().pid;
    std::optional<bool> done;
    supervisor->stop(1, [&](const CommandResult& result) { done = result.status == CommandStatus::Done; });

    // Meanwhile the loop goes on: the other server is restarted at its tick.
    killAndWait(other);
    tick();
    EXPECT_GT(record(2).info().pid, 0);
    EXPECT_NE(other, record(2).info().pid);
    EXPECT_TRUE(processAlive(stubborn));
    EXPECT_TRUE(record(1).stopping());
    EXPECT_FALSE(done.has_value());

    EXPECT_EQ(std::string::npos, log().find("did not end within the stop time-out"));
    clock.advance(2s);  // the time-out has passed
    ASSERT_TRUE(followUntil([&] { return done.has_value(); }));
    EXPECT_TRUE(*done);
    EXPECT_FALSE(processAlive(stubborn));
    EXPECT_EQ(0, record(1).info().pid);
    // The kill is told, with the process it hit.
    EXPECT_NE(std::string::npos, log().find("[WARNING]: stubborn did not end within the stop time-out; killing it (pid=" +
                                            std::to_string(stubborn) + ")"))
        << log();
}

TEST_F(StopTest, KillEndsAStopThatWaitsForItsTimeoutAndAnswersEveryoneWaiting) {
    options.stopTimeout = 3600s;
    ServerEntry stubbornEntry = entry(1, "stubborn", "--ignore-term");
    stubbornEntry.options.env = {{"PROCWARD_READY_FILE", dir.file("ready")}};
    make().load({stubbornEntry, entry(2, "other", "--role other")});
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.file("ready")); }));
    const int stubborn = record(1).info().pid, other = record(2).info().pid;
    std::optional<CommandResult> stopped, killed;
    supervisor->stop(1, [&](const CommandResult& r) { stopped = r; });
    supervisor->runDue();
    ASSERT_TRUE(record(1).stopping());
    EXPECT_TRUE(processAlive(stubborn));

    // The kill does not wait for the hour: the clock moves by steps of 10 ms.
    supervisor->kill(1, [&](const CommandResult& r) { killed = r; });
    ASSERT_TRUE(followUntil([&] { return stopped && killed; }));
    EXPECT_EQ(CommandStatus::Done, stopped->status);
    EXPECT_EQ(CommandStatus::Done, killed->status);
    EXPECT_EQ("stubborn", killed->name);
    // The operator's kill is not the time-out's.
    EXPECT_EQ(std::string::npos, log().find("did not end within the stop time-out"));
    EXPECT_FALSE(processAlive(stubborn));
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_FALSE(record(1).autoStart());
    tick();
    EXPECT_EQ(0, record(1).info().pid);  // kept down

    // A running server that is not stopping is killed at once as well, and
    // one that is down only stays down.
    supervisor->kill(2, [&](const CommandResult& r) { killed = r; });
    ASSERT_TRUE(followUntil([&] { return killed->index == 2 && record(2).info().pid == 0; }));
    EXPECT_FALSE(processAlive(other));
    const auto again = await([&](CommandDone done) { supervisor->kill(2, done); });
    ASSERT_TRUE(again);
    EXPECT_EQ(CommandStatus::NotRunning, again->status);
}

TEST_F(StopTest, AWrapperScriptsChildrenEndWithIt) {
    options.stopTimeout = 2s;
    const std::string script = dir.file("wrapper.sh");
    writeFile(script, "PROCWARD_READY_FILE=" + dir.file("ready1") + " " + program + " --role child &\n" +
                          "PROCWARD_READY_FILE=" + dir.file("ready2") + " " + program +
                          " --role stubborn-child --ignore-term &\nwait\n");
    make().load({ServerEntry{1, "wrapped", "sh", "/bin/sh " + script}});
    ASSERT_GT(record(1).info().pid, 0) << log();
    ASSERT_TRUE(waitFor([&] {
        return std::filesystem::exists(dir.file("ready1")) && std::filesystem::exists(dir.file("ready2"));
    }));
    tick();  // the wrapper is still its own
    EXPECT_EQ(1u, count(log(), "Enabled autoStart mode"));

    std::optional<bool> done;
    supervisor->stop(1, [&](const CommandResult& result) { done = result.status == CommandStatus::Done; });
    ASSERT_TRUE(waitFor([&] { return running({"--role", "child"}) == 0; }));
    // The stop is over only once the whole group has gone, after the kill.
    supervisor->runDue();
    EXPECT_FALSE(done.has_value());
    EXPECT_EQ(1, running({"--role", "stubborn-child", "--ignore-term"}));
    clock.advance(2s);
    ASSERT_TRUE(followUntil([&] { return done.has_value(); }));
    EXPECT_TRUE(*done);
    EXPECT_EQ(0, running({"--role", "stubborn-child", "--ignore-term"}));
}

TEST_F(StopTest, AnAdoptedProcessIsSignalledAloneNotItsGroup) {
    // The test server shares this test's process group: signalling the group
    // would end the test itself.
    options.stopTimeout = 5s;
    TestServer adopted({"--role", "adopted"}, program);
    TestServer sibling({"--role", "sibling"}, program);
    make().load({entry(1, "adopted", "--role adopted")});
    ASSERT_EQ(adopted.pid(), record(1).info().pid);
    EXPECT_EQ(std::optional<bool>(true), stopAndFollow(1));
    EXPECT_TRUE(processAlive(sibling.pid()));
}

// What the kernel refuses to a supervisor without the right to signal.
class RefusingHandle : public platform::ProcessHandle {
public:
    explicit RefusingHandle(int pid) : pid_(pid) {}
    int pid() const override { return pid_; }
    bool exited() override { return false; }
    bool leadsGroup() const override { return false; }
    platform::SignalResult signal(platform::StopSignal, bool, int& error) override {
        error = EPERM;
        return platform::SignalResult::NotPermitted;
    }
    bool groupRunning() override { return false; }
    std::intptr_t waitable() const override { return -1; }

private:
    int pid_;
};

class RefusingControl : public platform::ProcessControl {
public:
    bool launch(const std::string&, int&, int& error) override {
        error = ENOENT;
        return false;
    }
    std::unique_ptr<platform::ProcessHandle> open(int pid) override { return std::make_unique<RefusingHandle>(pid); }
    platform::TerminateResult terminate(int) override { return platform::TerminateResult::CannotOpen; }
    void closeConsoleHost(int) override {}
};

TEST_F(StopTest, AProcessThatMayNotBeSignalledIsReportedByName) {
    // Another user's process: as root this cannot be produced, so the
    // handle refuses as the kernel would.
    TestServer other({"--role", "foreign"}, program);
    RefusingControl refusing;
    make(refusing).load({entry(1, "foreign", "--role foreign")});
    ASSERT_EQ(other.pid(), record(1).info().pid);
    const auto result = await([&](CommandDone done) { supervisor->stop(1, done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::StopFailed, result->status);
    EXPECT_EQ(other.pid(), record(1).info().pid);
    EXPECT_TRUE(record(1).autoStart());  // nothing was done
    EXPECT_NE(std::string::npos,
              log().find("[ERROR]: foreign cannot be stopped (pid=" + std::to_string(other.pid()) + "): " +
                         std::strerror(EPERM)));
}

class BackoffTest : public SupervisionFixture {
protected:
    // Runs ticks 1..last; a server launched at a tick is left to die before
    // the next. Returns the ticks at which it was launched.
    std::vector<int> launchTicks(int first, int last) {
        std::vector<int> at;
        for (int t = first; t <= last; ++t) {
            const std::size_t before = count(log(), "Enabled autoStart mode for flaky");
            tick();
            if (count(log(), "Enabled autoStart mode for flaky") > before) {
                at.push_back(t);
                const int pid = record(1).info().pid;
                if (pid > 0) waitFor([&] { return !processAlive(pid); });
            }
        }
        return at;
    }
    std::string flag = dir.file("failing");
};

TEST_F(BackoffTest, AttemptsWaitOneTwoFourIntervalsUpToTheMaximumAndAlertOnce) {
    options.restartOnExit = false;
    options.restartBackoffMax = 8s;
    writeFile(flag, "");
    make().load({entry(1, "flaky", "--exit-if " + flag)});
    waitFor([&] { return !processAlive(record(1).info().pid); });
    EXPECT_EQ((std::vector<int>{1, 3, 7, 15, 23}), launchTicks(1, 24));
    EXPECT_EQ((std::vector<std::string>{"flaky keeps failing: 4 restarts in 0 minutes; next attempt in 8 s"}),
              alerts.messages(AlertKind::BackoffMax));
    // While it waits, the row says when the next attempt comes.
    clock.advance(1s);
    supervisor->checkAll();
    EXPECT_EQ(0u, RowCells::of(record(1)).startTime.find("下次重启 ")) << RowCells::of(record(1)).startTime;
    EXPECT_EQ(std::string("下次重启 ").size() + 8, RowCells::of(record(1)).startTime.size());
}

TEST_F(BackoffTest, AStableRunResetsTheWaitAndTheOperatorsStartComesAtOnce) {
    options.restartOnExit = false;
    options.restartBackoffMax = 4s;
    writeFile(flag, "");
    make().load({entry(1, "flaky", "--exit-if " + flag)});
    waitFor([&] { return !processAlive(record(1).info().pid); });
    EXPECT_EQ((std::vector<int>{1, 3, 7}), launchTicks(1, 8));

    // The start button does not wait.
    std::filesystem::remove(flag);
    EXPECT_EQ(CommandStatus::Done, await([&](CommandDone done) { supervisor->start(1, done); })->status);
    const int stable = record(1).info().pid;
    // It runs for the maximum without dying...
    for (int t = 0; t < 5; ++t) tick();
    EXPECT_EQ(stable, record(1).info().pid);
    // ... so a new streak of failures starts again at one interval.
    EXPECT_EQ(1u, alerts.messages(AlertKind::BackoffMax).size());
    writeFile(flag, "");
    killAndWait(stable);
    EXPECT_EQ((std::vector<int>{20, 21}), launchTicks(20, 22));
    EXPECT_EQ(1u, alerts.messages(AlertKind::BackoffMax).size());  // no cap reached in this streak yet
    EXPECT_EQ((std::vector<int>{23}), launchTicks(23, 23));
}

TEST_F(BackoffTest, WithTheBackoffOffEveryCheckTriesAgain) {
    options.restartOnExit = false;
    writeFile(flag, "");
    make().load({entry(1, "flaky", "--exit-if " + flag)});
    waitFor([&] { return !processAlive(record(1).info().pid); });
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6}), launchTicks(1, 6));
}

TEST(CheckIntervalTest, ABelowOneSecondOrNonNumberIntervalRunsAtOneSecondWithAWarning) {
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    ::mkdir(dir.file("logs").c_str(), 0777);
    AppLogger::Instance().Init();
    writeFile(dir.file("procward.ini"), "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=abc\n");
    std::vector<std::string> warnings;
    const Settings settings = LoadSettings(dir.file("procward.ini"), warnings);
    EXPECT_EQ(0, settings.general.checkInterval);
    ManualClock clock;
    Supervisor supervisor(clock, platform::processControl(), SupervisionOptionsFrom(settings.general));
    EXPECT_EQ(std::chrono::milliseconds(1000), supervisor.options().checkInterval);
    EXPECT_EQ((std::vector<std::string>{"CHECK_SVR_STATUS_INTERVAL=abc in " + dir.file("procward.ini") +
                                        " is below 1 second; checking every second"}),
              warnings);
}

}  // namespace
