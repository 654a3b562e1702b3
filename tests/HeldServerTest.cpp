// What the supervisor launched is its server until it exits: held whatever
// it execs or calls itself, its end learned with its exit status, its
// leftovers ended, taken over again by the next run, found through its
// pidfile when it daemonizes. Real processes throughout.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "app/core/StateFileWriter.h"
#include "platform/ProcessControl.h"
#include "platform/ProcessIdentity.h"
#include "platform/linux/LinuxProcessTable.h"
#include "supervision/RowCells.h"
#include "tests/support/SupervisionFixture.h"

namespace {

std::string quotedForShell(const std::string& text) { return "'" + text + "'"; }

// The process group of a process; 0 when it is gone.
int groupOf(int pid) {
    const pid_t group = ::getpgid(pid);
    return group > 0 ? static_cast<int>(group) : 0;
}

// Live members of a process group.
int membersOf(int group) { return group > 0 ? platform::LinuxProcessTable::groupMembers(group) : 0; }

// "NAME=VALUE" lines of a file into a map; a "cwd=" line too.
std::map<std::string, std::string> variablesIn(const std::string& text) {
    std::map<std::string, std::string> variables;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) variables[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return variables;
}

class HeldServerTest : public SupervisionFixture {
protected:
    void TearDown() override {
        SupervisionFixture::TearDown();
        // Workers left in groups of their own, and daemons.
        for (int group : groups)
            if (group > 0) ::kill(-group, SIGKILL);
        for (int group : groups) waitFor([&] { return membersOf(group) == 0; });
        platform::processControl().reapChildren();
    }

    // Waits (in real time) for the held process to end and lets the loop
    // hear of it.
    void awaitEnd(std::int32_t index) {
        const int pid = record(index).info().pid;
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitFor([&] {
            supervisor->runDue();
            return record(index).info().pid != pid;
        })) << log();
    }

    std::string script(const std::string& name, const std::string& text) {
        const std::string path = dir.file(name);
        writeFile(path, "#!/bin/sh\n" + text);
        ::chmod(path.c_str(), 0755);
        return path;
    }

    std::vector<int> groups;
};

// --- how servers end ---

TEST_F(HeldServerTest, AnEndIsLoggedWithHowItHappenedAndAfterHowLong) {
    make().load({entry(1, "game01", "--role game")});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    clock.advance(3h + 12min + 5s);
    const int before = wakeCount();
    ASSERT_EQ(0, ::kill(pid, SIGKILL));
    ASSERT_TRUE(waitForWake(before));
    supervisor->runDue();

    EXPECT_NE(std::string::npos, log().find("[WARNING]: game01 was killed by signal 9 (SIGKILL) after 3 h 12 min\r\n"))
        << log();
    ASSERT_TRUE(record(1).lastExit());
    const LastExit& exit = *record(1).lastExit();
    ASSERT_TRUE(exit.status);
    EXPECT_EQ(platform::ExitStatus::How::Signal, exit.status->how);
    EXPECT_EQ(SIGKILL, exit.status->value);
    // The alert's text stays as it is; the event carries the reason.
    const auto down = alerts.messages(AlertKind::ServerDown);
    ASSERT_EQ(1u, down.size());
    EXPECT_EQ("game01" + kNotWorking, down[0]);
    for (const AlertEvent& event : alerts.events) {
        if (event.kind == AlertKind::ServerDown) {
            EXPECT_EQ("was killed by signal 9 (SIGKILL)", event.reason);
        }
    }
    // It had run long enough: started again at once.
    EXPECT_GT(record(1).info().pid, 0);
    EXPECT_NE(pid, record(1).info().pid);
}

TEST_F(HeldServerTest, AProcessNotLaunchedHereEndsWithItsStatusUnknownAndSaysSo) {
    TestServer foreign({"--role", "foreign"}, program);
    make().load({entry(1, "game01", "--role foreign")});
    ASSERT_EQ(foreign.pid(), record(1).info().pid);
    supervisor->setAutoStart(1, true);
    const int before = wakeCount();
    foreign.kill();
    ASSERT_TRUE(waitForWake(before));
    supervisor->runDue();
    EXPECT_NE(std::string::npos,
              log().find("[WARNING]: game01 ended; exit status unknown (not started by this Procward)\r\n"))
        << log();
    ASSERT_TRUE(record(1).lastExit());
    EXPECT_FALSE(record(1).lastExit()->status);
    for (const AlertEvent& event : alerts.events) {
        if (event.kind == AlertKind::ServerDown) {
            EXPECT_EQ("exit status unknown (not started by this Procward)", event.reason);
        }
    }
    EXPECT_EQ(1u, alerts.messages(AlertKind::ServerDown).size());
}

TEST_F(HeldServerTest, ACrashLoopFailsThenBacksOffWithOneLaunchPerStep) {
    options.restartBackoffMax = 4s;
    const auto began = clock.now();
    make().load({entry(1, "crasher", "--exit-code 3")});
    ASSERT_TRUE(watching);
    // The state once each process has ended and its end been heard of;
    // time goes on only then.
    std::vector<ServerState> states;
    auto ended = [&] {
        if (record(1).info().pid > 0) awaitEnd(1);
        states.push_back(record(1).state());
    };
    ended();
    std::vector<long long> launchedAt{0};
    std::uint64_t launches = record(1).launches();
    for (int step = 0; step < 120; ++step) {
        EXPECT_EQ(0, record(1).info().pid);
        EXPECT_EQ("", RowCells::of(record(1)).pid) << "the row shows the PID of a process that has ended";
        clock.advance(100ms);
        supervisor->runDue();
        if (record(1).launches() != launches) {
            launches = record(1).launches();
            launchedAt.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - began).count());
            ended();
        }
    }
    // 1, 2, 4 intervals, then the maximum of 4 s.
    EXPECT_EQ((std::vector<long long>{0, 1000, 3000, 7000, 11000}), launchedAt);
    // The first failure is tried again as a check would; then the back-off holds it.
    ASSERT_EQ(launchedAt.size(), states.size());
    EXPECT_EQ(ServerState::Failing, states[0]);
    for (std::size_t i = 1; i < states.size(); ++i) EXPECT_EQ(ServerState::Backoff, states[i]) << i;
    EXPECT_EQ(launchedAt.size(), count(log(), "[WARNING]: crasher exited with code 3 after 0.0 s\r\n")) << log();
    EXPECT_EQ("exited with code 3", record(1).lastExit()->reason());
    EXPECT_TRUE(record(1).nextRestart().has_value());
    EXPECT_EQ(1u, alerts.messages(AlertKind::BackoffMax).size());
}

TEST_F(HeldServerTest, UnderALongIntervalAServerThatDiesYoungWaitsOnlyForItsBackoffStep) {
    options.checkInterval = 3600s;
    options.restartBackoffMax = 5s;
    make().load({entry(1, "young", "--role young")});
    const int first = record(1).info().pid;
    ASSERT_GT(first, 0);
    clock.advance(3s);
    const int before = wakeCount();
    const int told = changes[1];
    ASSERT_EQ(0, ::kill(first, SIGKILL));
    ASSERT_TRUE(waitForWake(before));
    supervisor->runDue();
    // Told at once: not running, and why.
    EXPECT_GT(changes[1], told);
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_EQ(ServerState::Failing, record(1).state());
    EXPECT_EQ("was killed by signal 9 (SIGKILL)", record(1).lastExit()->reason());
    // The step counts from the launch: 5 s, not an hour.
    EXPECT_EQ(record(1).nextRestart(), std::optional<Clock::TimePoint>(clock.now() + 2s));
    clock.advance(1900ms);
    supervisor->runDue();
    EXPECT_EQ(0, record(1).info().pid);
    clock.advance(100ms);
    supervisor->runDue();
    EXPECT_GT(record(1).info().pid, 0);
    EXPECT_NE(first, record(1).info().pid);
    EXPECT_EQ(0u, supervisor->passes());  // no check interval has passed
}

// --- what a server leaves behind ---

TEST_F(HeldServerTest, TheRestOfTheGroupIsEndedBeforeTheServerStartsAgain) {
    options.stopTimeout = 2s;
    const std::string commandLine = "/bin/sh -c " + quotedForShell(program + " --role worker1 & " + program +
                                                                   " --role worker2 --ignore-term & exec " + program +
                                                                   " --role master");
    make().load({ServerEntry{1, "forking", "sh", commandLine}});
    const int master = record(1).info().pid;
    ASSERT_GT(master, 0);
    groups.push_back(master);
    ASSERT_TRUE(waitFor([&] { return membersOf(master) == 3; })) << membersOf(master);
    // The exec replaced the shell: the master's own argument list now, and
    // still the same process.
    ASSERT_TRUE(waitFor([&] { return running({"--role", "master"}) == 1; }));
    // The worker that ignores SIGTERM must have got that far: on a slow
    // machine (or under a sanitizer) a SIGTERM before it would end it.
    ASSERT_TRUE(waitFor([&] { return ignoringTerm({"--role", "worker2", "--ignore-term"}) == 1; }, 30000));
    tick();
    EXPECT_EQ(master, record(1).info().pid);

    clock.advance(5s);
    const int before = wakeCount();
    ASSERT_EQ(0, ::kill(master, SIGKILL));
    ASSERT_TRUE(waitForWake(before));
    supervisor->runDue();
    // Down at once; nothing is started while its workers hold on.
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_EQ(1u, record(1).launches());
    ASSERT_TRUE(waitFor([&] { return running({"--role", "worker1"}) == 0; }));
    EXPECT_EQ(1, running({"--role", "worker2", "--ignore-term"}));
    supervisor->runDue();
    EXPECT_EQ(1u, record(1).launches());
    // The one that ignores SIGTERM is killed after the stop time-out.
    clock.advance(2s);
    ASSERT_TRUE(followUntil([&] { return record(1).info().pid > 0; })) << log();
    EXPECT_EQ(0, membersOf(master));
    EXPECT_EQ(1u, count(log(), "[INFO ]: forking: ended 2 leftover processes of its group\r\n")) << log();
    EXPECT_LT(log().find("leftover processes"), log().rfind("service is closed, autoStart forking true"));
    EXPECT_EQ(2u, record(1).launches());
    groups.push_back(record(1).info().pid);
    EXPECT_TRUE(waitFor([&] { return running({"--role", "worker1"}) == 1; }));
}

TEST_F(HeldServerTest, WithKillGroupOffTheGroupIsLeftAlone) {
    const std::string commandLine =
        "/bin/sh -c " + quotedForShell(program + " --role lone-worker & exec " + program + " --role lone-master");
    ServerOptions keys;
    keys.killGroup = false;
    make().load({ServerEntry{1, "keeps", "sh", commandLine, keys}});
    const int master = record(1).info().pid;
    groups.push_back(master);
    ASSERT_TRUE(waitFor([&] { return membersOf(master) == 2; }));
    clock.advance(5s);
    const int before = wakeCount();
    ASSERT_EQ(0, ::kill(master, SIGKILL));
    ASSERT_TRUE(waitForWake(before));
    supervisor->runDue();
    ASSERT_GT(record(1).info().pid, 0);  // started again at once
    groups.push_back(record(1).info().pid);
    EXPECT_TRUE(waitFor([&] { return running({"--role", "lone-worker"}) == 2; }));
    EXPECT_EQ(1, membersOf(master));  // the old worker lives on
    EXPECT_EQ(std::string::npos, log().find("leftover"));
}

TEST_F(HeldServerTest, WrapperScriptsWithAndWithoutExecStayUpAndTheirStopEndsTheServer) {
    options.stopTimeout = 5s;
    const std::string withExec = script("run-exec.sh", "exec " + program + " --role wrapped-exec\n");
    const std::string withoutExec = script("run-child.sh", program + " --role wrapped-child\n");
    make().load({ServerEntry{1, "exec", "run-exec.sh", withExec}, ServerEntry{2, "child", "run-child.sh", withoutExec}});
    const int execPid = record(1).info().pid, childPid = record(2).info().pid;
    ASSERT_GT(execPid, 0);
    ASSERT_GT(childPid, 0);
    ASSERT_TRUE(waitFor([&] {
        return running({"--role", "wrapped-exec"}) == 1 && running({"--role", "wrapped-child"}) == 1;
    }));
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(execPid, record(1).info().pid);
    EXPECT_EQ(childPid, record(2).info().pid);
    EXPECT_EQ(1u, count(log(), "Enabled autoStart mode for exec"));
    EXPECT_EQ(1u, count(log(), "Enabled autoStart mode for child"));
    EXPECT_EQ(ServerState::Running, record(2).state());

    for (std::int32_t index : {1, 2}) {
        const auto result = await([&](CommandDone done) { supervisor->stop(index, done); });
        ASSERT_TRUE(result);
        EXPECT_EQ(CommandStatus::Done, result->status) << index;
    }
    EXPECT_EQ(0, running({"--role", "wrapped-exec"}));
    EXPECT_EQ(0, running({"--role", "wrapped-child"}));
    EXPECT_EQ(ServerState::Stopped, record(2).state());
}

// --- how a server is started ---

TEST_F(HeldServerTest, DirectoryEnvironmentAndUserAreAppliedAndTheSupervisorsOwnVariablesStayBehind) {
    ScopedEnvironment notify("NOTIFY_SOCKET", "/run/systemd/notify");
    ScopedEnvironment own("PROCWARD_LOCK_DIR", dir.path());
    ScopedEnvironment kept("PW_FROM_SUPERVISOR", "kept");
    const bool root = ::geteuid() == 0;
    // Everything the server touches is open to the user it may run as.
    ::chmod(dir.path().c_str(), 0755);
    const std::string shared = dir.file("shared");
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 0777);
    const std::string server = shared + "/procward-testserver";
    std::filesystem::copy_file(testServerPath(), server);
    ::chmod(server.c_str(), 0755);
    const std::string work = dir.file("work");
    std::filesystem::create_directory(work);
    const std::string bin = dir.file("bin");
    std::filesystem::create_directory(bin);

    // Its output goes nowhere: the scripts send it to a file.
    const std::string printed = shared + "/printed", defaulted = shared + "/default";
    const std::string printing = script("bin/print.sh", "exec " + server + " --print-cwd --print-env > " + printed + "\n");
    const std::string plain = script("bin/plain.sh", "exec " + server + " --print-cwd > " + defaulted + "\n");
    ServerOptions keys;
    keys.cwd = work;
    keys.env = {{"GAME_MODE", "arena"}, {"PW_FROM_SUPERVISOR", "replaced"}};
    if (root) keys.user = "nobody";
    make().load({ServerEntry{1, "printer", "print.sh", printing, keys}, ServerEntry{2, "plain", "plain.sh", plain}});
    ASSERT_TRUE(waitFor([&] { return readFile(printed).find("GAME_MODE=") != std::string::npos; })) << log();
    ASSERT_TRUE(waitFor([&] { return !readFile(defaulted).empty(); }));

    const auto variables = variablesIn(readFile(printed));
    EXPECT_EQ(work, variables.at("cwd"));
    EXPECT_EQ("arena", variables.at("GAME_MODE"));
    EXPECT_EQ("replaced", variables.at("PW_FROM_SUPERVISOR"));
    EXPECT_EQ(0u, variables.count("NOTIFY_SOCKET"));
    EXPECT_EQ(0u, variables.count("PROCWARD_LOCK_DIR"));
    if (root) {
        EXPECT_EQ("nobody", variables.at("USER"));
        struct stat info {};
        ASSERT_EQ(0, ::stat(printed.c_str(), &info));
        EXPECT_EQ(65534u, info.st_uid);  // written by the server, as nobody
    }
    // Without "cwd", the directory of the program that runs.
    EXPECT_EQ("cwd=" + bin + "\n", readFile(defaulted));
}

TEST_F(HeldServerTest, AUserThatCannotBeTakenOnIsAFailedStartWithTheReason) {
    ServerOptions keys;
    keys.user = "pw-no-such-user";
    make().load({ServerEntry{1, "alien", "procward-testserver", program + " --role alien", keys}});
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_EQ(ServerState::Failing, record(1).state());
    const std::string reason = ::geteuid() == 0
                                   ? "cannot run as user 'pw-no-such-user': no such user"
                                   : "cannot run as user 'pw-no-such-user': only a supervisor running as root can "
                                     "change user or group";
    EXPECT_EQ(reason, record(1).startError());
    EXPECT_NE(std::string::npos, log().find("[ERROR]: alien could not be started: " + reason + "\r\n"));
    EXPECT_EQ(0, running({"--role", "alien"}));
}

// --- a server that daemonizes ---

class PidfileTest : public HeldServerTest {
protected:
    // As the program does at its start: the daemon a start script leaves
    // behind becomes this process's child, which is how a pidfile's process
    // is known to be the server's.
    PidfileTest() { platform::becomeChildSubreaper(); }
    // A start script that leaves its server behind in a session of its own
    // and exits 0; the server writes its pidfile itself, after `delay`.
    ServerEntry daemonizing(const std::string& role, const std::string& delay = "0") {
        // The test server writes its process ID into PROCWARD_READY_FILE
        // once it is set up, as a daemon writes its pidfile.
        const std::string path = script("daemonize.sh", "setsid sh -c 'sleep $2; exec \"$1\" --role " + role +
                                                            "' daemon \"$SERVER\" \"$DELAY\" &\nexit 0\n");
        ServerOptions keys;
        keys.pidfile = pidfile;
        keys.env = {{"PROCWARD_READY_FILE", pidfile}, {"SERVER", program}, {"DELAY", delay}};
        return ServerEntry{1, "daemon", "daemonize.sh", path, keys};
    }
    // Runs the loop (in short steps of the clock) until the server runs.
    bool untilRunning() {
        return followUntil([&] { return record(1).state() == ServerState::Running; });
    }
    std::string pidfile = dir.file("daemon.pid");
};

TEST_F(PidfileTest, TheServerIsTheProcessItsPidfileNamesAndAStopEndsIt) {
    options.stopTimeout = 5s;
    // Left by an earlier run: a process that is alive but older than the
    // launch. The kernel counts start times in clock ticks: the launch must
    // come ticks after this process's start to be seen as later.
    writeFile(pidfile, std::to_string(::getpid()) + "\n");
    std::this_thread::sleep_for(50ms);
    make().load({daemonizing("daemonized", "0.3")});
    EXPECT_EQ(ServerState::Starting, record(1).state());
    ASSERT_TRUE(untilRunning()) << log();
    const int daemon = record(1).info().pid;
    groups.push_back(daemon);
    EXPECT_NE(::getpid(), daemon);
    EXPECT_EQ(std::to_string(daemon) + "\n", readFile(pidfile));
    EXPECT_EQ(1, running({"--role", "daemonized"}));
    EXPECT_EQ(daemon, groupOf(daemon));
    EXPECT_NE(std::string::npos, log().find("daemon runs as pid " + std::to_string(daemon) + ", named in its pidfile"));
    // Announced once its own process is known.
    EXPECT_EQ((std::vector<std::string>{"daemon started successfully: pid=" + std::to_string(daemon)}), mailedAlerts());
    for (int i = 0; i < 2; ++i) tick();
    EXPECT_EQ(daemon, record(1).info().pid);
    EXPECT_EQ(1u, record(1).launches());

    const auto stopped = await([&](CommandDone done) { supervisor->stop(1, done); });
    ASSERT_TRUE(stopped);
    EXPECT_EQ(CommandStatus::Done, stopped->status);
    EXPECT_FALSE(processAlive(daemon));
    // Left to this supervisor by its starter, it became its child: how it
    // ended is known.
    EXPECT_NE(std::string::npos, log().find("daemon was killed by signal 15 (SIGTERM) after")) << log();
}

TEST_F(PidfileTest, AKilledDaemonIsStartedAgainAndFoundThroughItsNewPidfile) {
    make().load({daemonizing("again")});
    ASSERT_TRUE(untilRunning()) << log();
    const int first = record(1).info().pid;
    groups.push_back(first);
    clock.advance(5s);
    const int before = wakeCount();
    ASSERT_EQ(0, ::kill(first, SIGKILL));
    ASSERT_TRUE(waitForWake(before));
    // The pidfile still names the dead daemon until the new one writes it.
    ASSERT_TRUE(untilRunning()) << log();
    const int second = record(1).info().pid;
    groups.push_back(second);
    EXPECT_NE(first, second);
    EXPECT_EQ(1, running({"--role", "again"}));
    EXPECT_EQ(2u, record(1).launches());
}

TEST_F(PidfileTest, APidfileThatNamesNothingIsAFailedStart) {
    // No check and no back-off step comes before the failure is looked at.
    options.checkInterval = 10s;
    options.restartBackoffMax = 60s;
    ServerOptions keys;
    keys.pidfile = pidfile;
    const std::string quits = script("quits.sh", "exit 0\n");
    make().load({ServerEntry{1, "daemon", "quits.sh", quits, keys}});
    ASSERT_TRUE(waitFor([&] {
        supervisor->runDue();
        return log().find("daemon (pid=") != std::string::npos;
    })) << log();
    EXPECT_EQ(ServerState::Starting, record(1).state());
    clock.advance(5s);
    supervisor->runDue();
    EXPECT_EQ(ServerState::Failing, record(1).state());
    const std::string problem = "its pidfile " + pidfile + " named no running process within 5 s";
    EXPECT_NE(std::string::npos, log().find("[ERROR]: daemon was started, but " + problem + "\r\n")) << log();
    EXPECT_EQ("exited with code 0; " + problem, record(1).lastExit()->reason());
    EXPECT_TRUE(noAlerts());
}

// --- across restarts of the supervisor ---

class RestartedSupervisorTest : public HeldServerTest {
protected:
    // A supervisor that remembers through the state file at `state`.
    Supervisor& makeRemembering() {
        writer = std::make_unique<StateFileWriter>(state);
        Supervisor& made = make();
        made.setStateStore(writer.get());
        return made;
    }
    // The supervisor ends (kept servers run on) and its state is on disk.
    void endSupervisor() {
        writer->flush();
        supervisor.reset();
        writer.reset();
    }
    std::string state = dir.file("procward.state");
    std::unique_ptr<StateFileWriter> writer;
};

TEST_F(RestartedSupervisorTest, TheNextRunTakesOverWhatTheLastHeldWhateverItsArgumentsSayNow) {
    options.stopTimeout = 5s;
    const std::vector<ServerEntry> list{entry(1, "titled", "--set-title renamed-by-itself"),
                                        entry(2, "plain", "--role plain")};
    makeRemembering().load(list);
    const int titled = record(1).info().pid, plain = record(2).info().pid;
    ASSERT_GT(titled, 0);
    groups.push_back(titled);
    groups.push_back(plain);
    ASSERT_TRUE(waitFor([&] {
        std::vector<std::string> args;
        return platform::LinuxProcessTable::arguments(titled, args) && args[0] == "renamed-by-itself";
    }));
    endSupervisor();
    struct stat info {};
    ASSERT_EQ(0, ::stat(state.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    alerts.events.clear();
    makeRemembering().load(list);
    EXPECT_EQ(titled, record(1).info().pid);
    EXPECT_EQ(plain, record(2).info().pid);
    EXPECT_EQ(0u, record(1).restarts());
    EXPECT_EQ(ServerState::Running, record(1).state());
    EXPECT_TRUE(noAlerts());
    EXPECT_EQ(1u, count(log(), "titled is still running (pid=" + std::to_string(titled) +
                                   "); taken over from the previous run"));
    for (int i = 0; i < 2; ++i) tick();
    EXPECT_EQ(titled, record(1).info().pid);

    // Not a child of this run: its end is told without a status.
    clock.advance(5s);
    const int before = wakeCount();
    ASSERT_EQ(0, ::kill(titled, SIGKILL));
    ASSERT_TRUE(waitForWake(before));
    supervisor->runDue();
    EXPECT_NE(std::string::npos, log().find("titled ended; exit status unknown (not started by this Procward)"));
    EXPECT_GT(record(1).info().pid, 0);
    groups.push_back(record(1).info().pid);
}

TEST_F(RestartedSupervisorTest, AProcessThatIsNotTheOneRememberedIsNotTakenOver) {
    TestServer other({"--set-title", "someone-else"}, program);
    const ServerEntry titled = entry(1, "titled", "--set-title renamed");
    // The ID of a running process, but with another start: the ID was given again.
    RememberedServer remembered;
    remembered.name = titled.name;
    remembered.processname = titled.processname;
    remembered.commandline = titled.commandline;
    remembered.pid = other.pid();
    remembered.startTicks = platform::processIdentity(other.pid()).value_or(0) + 1;
    remembered.launched = true;
    remembered.group = other.pid();
    std::string error;
    ASSERT_TRUE(StateFile(state).write({remembered}, platform::bootId(), error)) << error;
    makeRemembering().load({titled});
    EXPECT_NE(other.pid(), record(1).info().pid);
    EXPECT_GT(record(1).info().pid, 0);
    groups.push_back(record(1).info().pid);
    endSupervisor();

    // The same process, remembered from another boot.
    remembered.startTicks = platform::processIdentity(other.pid()).value_or(0);
    ASSERT_TRUE(StateFile(state).write({remembered}, "another-boot", error)) << error;
    makeRemembering().load({titled});
    EXPECT_NE(other.pid(), record(1).info().pid);
    groups.push_back(record(1).info().pid);
    EXPECT_EQ(std::string::npos, log().find("taken over from the previous run"));
}

TEST_F(RestartedSupervisorTest, RememberStoppedKeepsTheOperatorsStopAcrossARestart) {
    const std::vector<ServerEntry> list{entry(1, "kept-down", "--role kept-down")};
    makeRemembering().load(list);
    ASSERT_EQ(CommandStatus::Done, await([&](CommandDone done) { supervisor->stop(1, done); })->status);
    endSupervisor();

    options.rememberStopped = true;
    makeRemembering().load(list);
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_FALSE(record(1).autoStart());
    EXPECT_EQ(ServerState::Stopped, record(1).state());
    EXPECT_NE(std::string::npos,
              log().find("kept-down stays down: it was stopped when Procward last ran (REMEMBER_STOPPED=1)"));
    tick();
    EXPECT_EQ(0, running({"--role", "kept-down"}));
    endSupervisor();

    // By default every server is started again.
    options.rememberStopped = false;
    makeRemembering().load(list);
    EXPECT_GT(record(1).info().pid, 0);
    EXPECT_TRUE(record(1).autoStart());
}

}  // namespace
