// Health rules on real servers over real ports: a server that runs but does
// not serve is found by its rule, alerted about and restarted; the checks
// run beside the loop, never in its way. The supervisor's clock is the
// test's; the checks themselves take real time.
#include <signal.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "config/ServerOptionsReader.h"
#include "supervision/RowCells.h"
#include "tests/support/SupervisionFixture.h"

namespace {

HealthRule httpRule(const std::string& url) {
    HealthRule rule;
    EXPECT_EQ("", SetHealthTarget(rule, HealthProbe::http, url));
    rule.interval = 1s;
    rule.timeout = 1s;
    rule.failures = 3;
    rule.grace = 0s;
    return rule;
}

std::string url(int port, const std::string& path = "/healthz") {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

class HealthRuleTest : public SupervisionFixture {
protected:
    ServerEntry withRule(std::int32_t index, const std::string& name, const std::string& arguments,
                         const HealthRule& rule) const {
        ServerEntry e = entry(index, name, arguments);
        e.options.health = rule;
        return e;
    }

    // Lets the loop run until the server's listen address has been read
    // (its start confirmed).
    void settle(std::int32_t index) {
        ASSERT_TRUE(followUntil([&] { return record(index).state() == ServerState::Running; }));
        ASSERT_TRUE(waitFor([&] {
            supervisor->checkAll();
            return !record(index).info().ports.empty();
        }));
    }

    // One interval of the rule on the clock, then waits (in real time) for
    // the check it starts to come back. False when none came.
    bool checkRound(std::int32_t index, Clock::Duration interval = 1s) {
        const std::uint64_t before = record(index).healthChecks();
        clock.advance(interval);
        supervisor->runDue();
        return waitFor(
            [&] {
                supervisor->runDue();
                return record(index).healthChecks() > before;
            },
            15000);
    }

    // Runs check rounds until `done`, at most `rounds` of them.
    template <class F>
    bool roundsUntil(std::int32_t index, int rounds, F done) {
        for (int i = 0; i < rounds && !done(); ++i)
            if (!checkRound(index)) return false;
        return done();
    }

    // Stops record 1's process with SIGSTOP (its backlog still takes
    // connections, the answers never come) and checks the rule of 1 s and 3
    // failures: no alert after two failed checks, the Unhealthy alert naming
    // `name` after the third, then a restart that ends the stopped process.
    // `hung` is set to the stopped process's ID.
    void hangAndExpectRestart(const std::string& name, int& hung) {
        hung = record(1).info().pid;
        ASSERT_EQ(0, ::kill(hung, SIGSTOP));
        ASSERT_TRUE(checkRound(1));
        ASSERT_TRUE(checkRound(1));
        EXPECT_EQ(hung, record(1).info().pid);
        EXPECT_TRUE(alerts.messages(AlertKind::Unhealthy).empty());
        ASSERT_TRUE(checkRound(1));
        const auto unhealthy = alerts.messages(AlertKind::Unhealthy);
        ASSERT_EQ(1u, unhealthy.size());
        EXPECT_EQ(name + " is unhealthy: no answer in 1 s (" + url(port) +
                      ", 3 failed checks in a row); it will be restarted",
                  unhealthy[0]);
        // The stop ends the stopped process well before its time-out, by its
        // SIGTERM; a new process follows.
        ASSERT_TRUE(followUntil([&] { return record(1).info().pid > 0 && record(1).info().pid != hung; }));
        EXPECT_FALSE(processAlive(hung));
    }

    int port = freeTcpPort();
};

TEST_F(HealthRuleTest, HungServerIsFoundByItsHttpRuleAndRestartedAndTheHungProcessEnds) {
    // A graceful stop: SIGTERM reaches a stopped process only with a SIGCONT.
    options.stopTimeout = 30s;
    make().load({withRule(1, "game", "--http 127.0.0.1:" + std::to_string(port), httpRule(url(port)))});
    settle(1);
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(HealthState::Healthy, record(1).health());

    int hung = 0;
    ASSERT_NO_FATAL_FAILURE(hangAndExpectRestart("game", hung));
    ASSERT_TRUE(record(1).lastExit());
    EXPECT_EQ("was killed by signal 15 (SIGTERM)", record(1).lastExit()->reason());
    EXPECT_NE(hung, record(1).info().pid);
    EXPECT_EQ(HealthState::Checking, record(1).health());
    settle(1);
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(HealthState::Healthy, record(1).health());
    // After the alert, healthy again: told so.
    ASSERT_EQ(1u, alerts.messages(AlertKind::Healthy).size());
    EXPECT_EQ("game has recovered: HTTP 200 from /healthz", alerts.messages(AlertKind::Healthy)[0]);
}

TEST_F(HealthRuleTest, ServerAnswering503IsRestartedAfterExactlyFailuresChecksAndBacksOffLikeACrash) {
    options.restartBackoffMax = 60s;
    HealthRule rule = httpRule(url(port));
    rule.failures = 2;
    rule.grace = 10s;
    make().load({withRule(1, "web", "--http 127.0.0.1:" + std::to_string(port) + " --http-status 503", rule)});
    settle(1);
    const int first = record(1).info().pid;
    ASSERT_TRUE(checkRound(1, 10s));
    EXPECT_EQ(HealthState::Checking, record(1).health());
    EXPECT_EQ(first, record(1).info().pid);
    ASSERT_TRUE(checkRound(1));
    const auto unhealthy = alerts.messages(AlertKind::Unhealthy);
    ASSERT_EQ(1u, unhealthy.size());
    EXPECT_NE(std::string::npos, unhealthy[0].find("HTTP 503 from /healthz (" + url(port) + ", 2 failed checks"));
    for (const AlertEvent& event : alerts.events) {
        if (event.kind == AlertKind::Unhealthy) {
            EXPECT_EQ("HTTP 503 from /healthz", event.reason);
        }
    }
    // The first restart of a streak comes at once.
    ASSERT_TRUE(followUntil([&] { return record(1).info().pid > 0 && record(1).info().pid != first; }));
    EXPECT_EQ(2u, record(1).launches());
    EXPECT_EQ(1u, record(1).restarts());

    // Unhealthy again: now the restart waits for its back-off step.
    const int second = record(1).info().pid;
    settle(1);
    ASSERT_TRUE(checkRound(1, 10s));
    ASSERT_TRUE(checkRound(1));
    ASSERT_EQ(2u, alerts.messages(AlertKind::Unhealthy).size());
    ASSERT_TRUE(followUntil([&] { return record(1).info().pid != second; }));
    EXPECT_FALSE(processAlive(second));
    // Down and waiting for its back-off step, unless following the stop
    // took the clock past it already.
    if (record(1).info().pid == 0) {
        EXPECT_TRUE(record(1).nextRestart().has_value());
        EXPECT_EQ(ServerState::Backoff, record(1).state());
    }
}

TEST_F(HealthRuleTest, GraceHoldsChecksOffAfterAStart) {
    HealthRule rule = httpRule(url(port));
    rule.grace = 30s;
    make().load({withRule(1, "slowstart", "--http 127.0.0.1:" + std::to_string(port), rule)});
    settle(1);
    for (int second = 1; second < 30; ++second) {
        clock.advance(1s);
        supervisor->runDue();
        ASSERT_FALSE(record(1).healthCheckUnderWay()) << "at " << second << " s";
        ASSERT_EQ(0u, record(1).healthChecks());
        EXPECT_EQ(HealthState::Checking, record(1).health());
    }
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(HealthState::Healthy, record(1).health());
}

TEST_F(HealthRuleTest, AlertOnlyRuleLeavesTheServerRunningAndTellsOfItsRecovery) {
    const std::string statusFile = dir.file("status");
    std::ofstream(statusFile) << "500\n";
    HealthRule rule = httpRule(url(port));
    rule.failures = 2;
    rule.onFailure = HealthAction::alert;
    make().load({withRule(1, "api", "--http 127.0.0.1:" + std::to_string(port) + " --http-status-file " + statusFile,
                          rule)});
    settle(1);
    const int pid = record(1).info().pid;
    ASSERT_TRUE(checkRound(1));
    ASSERT_TRUE(checkRound(1));
    ASSERT_EQ(std::vector<std::string>{"api is unhealthy: HTTP 500 from /healthz (" + url(port) +
                                       ", 2 failed checks in a row); it is left running"},
              alerts.messages(AlertKind::Unhealthy));
    EXPECT_EQ(HealthState::Unhealthy, record(1).health());
    EXPECT_EQ("HTTP 500 from /healthz", record(1).healthReason());
    // The window's row shows it, and why.
    EXPECT_TRUE(RowCells::of(record(1)).unhealthy);
    EXPECT_EQ("健康检查失败: HTTP 500 from /healthz", RowCells::of(record(1)).healthTip);
    // Still failing: no second alert, no restart.
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(1u, alerts.messages(AlertKind::Unhealthy).size());
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ(ServerState::Running, record(1).state());

    std::ofstream(statusFile) << "200\n";
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(HealthState::Healthy, record(1).health());
    EXPECT_FALSE(RowCells::of(record(1)).unhealthy);
    EXPECT_EQ(std::vector<std::string>{"api has recovered: HTTP 200 from /healthz"},
              alerts.messages(AlertKind::Healthy));
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ(1u, record(1).launches());
}

TEST_F(HealthRuleTest, AReloadKeepsTheCountsOfAnUnchangedRuleAndRestartsAChangedOne) {
    HealthRule rule = httpRule(url(port));
    rule.failures = 2;
    rule.grace = 10s;
    rule.onFailure = HealthAction::alert;
    const ServerEntry web = withRule(1, "web", "--http 127.0.0.1:" + std::to_string(port) + " --http-status 503", rule);
    make().load({web});
    settle(1);
    ASSERT_TRUE(checkRound(1, 10s));
    supervisor->load({web});
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(HealthState::Unhealthy, record(1).health());

    // A changed rule starts over: its count begins again.
    HealthRule stricter = rule;
    stricter.failures = 3;
    supervisor->load({withRule(1, "web", web.commandline.substr(web.commandline.find(' ') + 1), stricter)});
    EXPECT_EQ(HealthState::Checking, record(1).health());
    ASSERT_TRUE(checkRound(1));
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(HealthState::Checking, record(1).health());
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(HealthState::Unhealthy, record(1).health());
}

TEST_F(HealthRuleTest, GrowingServerCrossesItsMemoryLimitAndIsRestarted) {
    HealthRule rule;
    rule.maxMemoryMb = 64;
    rule.memoryChecks = 2;
    rule.interval = 1s;
    rule.grace = 0s;
    make().load({withRule(1, "leaky", "--grow 8", rule)});
    ASSERT_TRUE(followUntil([&] { return record(1).state() == ServerState::Running; }));
    const int first = record(1).info().pid;
    ASSERT_TRUE(roundsUntil(1, 200, [&] { return !alerts.messages(AlertKind::Unhealthy).empty(); }));
    const std::string message = alerts.messages(AlertKind::Unhealthy).front();
    EXPECT_EQ(0u, message.find("leaky is unhealthy: RSS ")) << message;
    EXPECT_NE(std::string::npos, message.find(" MB > 64 MB for 2 checks; it will be restarted")) << message;
    ASSERT_TRUE(followUntil([&] { return record(1).info().pid > 0 && record(1).info().pid != first; }));
    EXPECT_FALSE(processAlive(first));
}

TEST_F(HealthRuleTest, SlowServerDoesNotHoldUpTheChecksOfTheOthers) {
    HealthRule slowRule = httpRule(url(port));
    slowRule.timeout = 60s;
    std::vector<ServerEntry> entries{
        withRule(1, "slow", "--http 127.0.0.1:" + std::to_string(port) + " --http-delay 60000", slowRule)};
    std::vector<int> ports;
    for (int i = 2; i <= 9; ++i) {
        ports.push_back(freeTcpPort());
        entries.push_back(
            withRule(i, "fast" + std::to_string(i), "--http 127.0.0.1:" + std::to_string(ports.back()), httpRule(url(ports.back()))));
    }
    make().load(entries);
    for (int i = 1; i <= 9; ++i) settle(i);
    clock.advance(1s);
    supervisor->runDue();
    ASSERT_TRUE(record(1).healthCheckUnderWay());
    ASSERT_TRUE(waitFor(
        [&] {
            supervisor->runDue();
            for (int i = 2; i <= 9; ++i)
                if (record(i).health() != HealthState::Healthy) return false;
            return true;
        },
        30000));
    // The slow one is still waiting for its answer.
    EXPECT_TRUE(record(1).healthCheckUnderWay());
    EXPECT_EQ(HealthState::Checking, record(1).health());
    // Its end ends the check too (the connection goes with it).
    killAndWait(record(1).info().pid);
}

// The connections a test server with --http-connections has accepted.
int acceptedConnections(const std::string& file) {
    std::ifstream in(file);
    int n = -1;
    return in >> n ? n : -1;
}

// A server that keeps its connection open is checked over that one
// connection, round after round; answered a moment before, it is still
// found out by the same rule once it hangs: the request on the kept
// connection goes unanswered, as do those on the new ones that follow.
TEST_F(HealthRuleTest, KeptConnectionIsReusedAndAServerThatHangsOnItIsFoundUnhealthyAfterFailuresChecks) {
    options.stopTimeout = 30s;
    const std::string connections = dir.file("connections");
    make().load({withRule(1, "kept",
                          "--http 127.0.0.1:" + std::to_string(port) + " --http-keep-alive 0 --http-connections " +
                              connections,
                          httpRule(url(port)))});
    settle(1);
    const std::uint64_t checksBefore = record(1).healthChecks();
    for (int round = 1; round <= 4; ++round) {
        ASSERT_TRUE(checkRound(1));
        EXPECT_EQ(HealthState::Healthy, record(1).health()) << record(1).healthReason();
    }
    EXPECT_EQ(checksBefore + 4, record(1).healthChecks());
    EXPECT_EQ(1, acceptedConnections(connections));

    int hung = 0;
    ASSERT_NO_FATAL_FAILURE(hangAndExpectRestart("kept", hung));
    // The new process is reached on a new connection, not on the dead one.
    settle(1);
    ASSERT_TRUE(checkRound(1));
    EXPECT_EQ(HealthState::Healthy, record(1).health()) << record(1).healthReason();
}

// Connections to or from one of `ports` the machine holds in TIME_WAIT.
int inTimeWait(const std::vector<int>& ports) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    int n = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state != "06") continue;
        const auto portOf = [](const std::string& address) {
            return std::stoi(address.substr(address.find(':') + 1), nullptr, 16);
        };
        for (const int port : ports) n += portOf(local) == port || portOf(remote) == port;
    }
    return n;
}

// Servers that end the connection after their answer, whether they say so
// ("Connection: close") or close it without a word after one or two
// answers, pass every check: a connection found closed is opened anew, and
// that is no failure. A connection the server has closed is reset rather
// than closed in turn, so the servers are not left holding each one in
// TIME_WAIT (one per check, a minute each).
TEST_F(HealthRuleTest, ServersThatCloseTheirConnectionsPassEveryCheck) {
    std::vector<std::string> files;
    std::vector<ServerEntry> entries;
    const std::vector<std::string> closings{"", " --http-keep-alive 1", " --http-keep-alive 2"};
    std::vector<int> ports;
    for (std::size_t i = 0; i < closings.size(); ++i) {
        ports.push_back(i == 0 ? port : freeTcpPort());
        files.push_back(dir.file("connections" + std::to_string(i)));
        const auto index = static_cast<std::int32_t>(i + 1);
        entries.push_back(withRule(index, "closing" + std::to_string(index),
                                   "--http 127.0.0.1:" + std::to_string(ports[i]) + closings[i] +
                                       " --http-connections " + files[i],
                                   httpRule(url(ports[i]))));
    }
    make().load(entries);
    for (int index = 1; index <= 3; ++index) settle(index);
    std::vector<int> before(3);
    // Round 0 makes sure each server has answered once (a check made before
    // it listened was refused); the rounds after it are counted.
    for (int round = 0; round <= 6; ++round) {
        if (round == 1)
            for (std::size_t i = 0; i < 3; ++i) before[i] = acceptedConnections(files[i]);
        const std::uint64_t checks = record(1).healthChecks() + record(2).healthChecks() + record(3).healthChecks();
        clock.advance(1s);
        supervisor->runDue();
        ASSERT_TRUE(waitFor(
            [&] {
                supervisor->runDue();
                return record(1).healthChecks() + record(2).healthChecks() + record(3).healthChecks() == checks + 3;
            },
            15000));
        for (int index = 1; index <= 3; ++index)
            ASSERT_EQ(HealthState::Healthy, record(index).health())
                << "round " << round << ", server " << index << ": " << record(index).healthReason();
    }
    EXPECT_TRUE(alerts.messages(AlertKind::Unhealthy).empty());
    // Six answers: six connections, and three where each takes two.
    EXPECT_EQ(before[0] + 6, acceptedConnections(files[0]));
    EXPECT_EQ(before[1] + 6, acceptedConnections(files[1]));
    EXPECT_EQ(before[2] + 3, acceptedConnections(files[2]));
    // Nearly 20 connections were closed by the servers first; only one
    // that the checks closed before the server did (its end still on its
    // way) may wait, on the checks' side.
    EXPECT_LT(inTimeWait(ports), 4);
}

// A check under way when its server is stopped, or removed, is given up at
// once: its connection is closed rather than held to the end of its
// time-out, and what it would have seen reaches nobody. The servers ignore
// SIGTERM, so their stops take long and their processes, which would
// otherwise end the connections themselves, stay meanwhile.
TEST_F(HealthRuleTest, ACheckUnderWayIsAbandonedWhenItsServerIsStoppedOrRemoved) {
    options.stopTimeout = 60s;
    std::vector<ServerEntry> entries;
    for (std::int32_t index = 1; index <= 2; ++index) {
        const int at = index == 1 ? port : freeTcpPort();
        HealthRule slowRule = httpRule(url(at));
        slowRule.timeout = 60s;
        entries.push_back(withRule(index, "slow" + std::to_string(index),
                                   "--ignore-term --http 127.0.0.1:" + std::to_string(at) + " --http-delay 60000",
                                   slowRule));
    }
    make().load(entries);
    settle(1);
    settle(2);
    const int first = record(1).info().pid, second = record(2).info().pid;
    clock.advance(1s);
    supervisor->runDue();
    ASSERT_TRUE(record(1).healthCheckUnderWay());
    ASSERT_TRUE(record(2).healthCheckUnderWay());
    ASSERT_TRUE(waitFor([&] { return supervisor->healthLooksUnderWay() == 2; }));
    const std::uint64_t checksBefore = supervisor->healthChecks();

    supervisor->stop(1);
    EXPECT_TRUE(record(1).stopping());
    ASSERT_TRUE(waitFor([&] { return supervisor->healthLooksUnderWay() == 1; }));
    EXPECT_FALSE(record(1).healthCheckUnderWay());
    EXPECT_TRUE(record(2).healthCheckUnderWay());

    supervisor->remove(2);
    ASSERT_TRUE(waitFor([&] { return supervisor->healthLooksUnderWay() == 0; }));
    // Both still hold their ends of the connections: the checks were given
    // up, not ended by the servers.
    EXPECT_TRUE(processAlive(first));
    EXPECT_TRUE(processAlive(second));
    supervisor->runDue();
    EXPECT_EQ(checksBefore, supervisor->healthChecks());
    launched = {first, second};
}

// Checks due within a tenth of their interval of one that is due go out
// with it; one due later than that waits for its own time.
TEST_F(HealthRuleTest, ChecksDueCloseTogetherAreMadeTogether) {
    std::vector<int> ports{port, freeTcpPort(), freeTcpPort()};
    auto server = [&](std::int32_t index) {
        const int at = ports[static_cast<std::size_t>(index - 1)];
        return withRule(index, "near" + std::to_string(index),
                        "--http 127.0.0.1:" + std::to_string(at) + " --http-keep-alive 0", httpRule(url(at)));
    };
    // Each server's first check (right at its start, its grace being 0)
    // sets when its next one is due; the clock stands still meanwhile.
    std::vector<ServerEntry> entries;
    auto addAndCheckOnce = [&](std::int32_t index) {
        // A load that keeps the unchanged entries' records adds the server.
        entries.push_back(server(index));
        supervisor->load(entries);
        return waitFor(
            [&] {
                supervisor->runDue();
                return record(index).healthChecks() > 0 && !record(index).healthCheckUnderWay();
            },
            15000);
    };
    make();
    ASSERT_TRUE(addAndCheckOnce(1));  // next due at +1 s
    clock.advance(50ms);
    ASSERT_TRUE(addAndCheckOnce(2));  // at +1.05 s
    clock.advance(150ms);
    ASSERT_TRUE(addAndCheckOnce(3));  // at +1.2 s
    const std::uint64_t first = record(1).healthChecks(), second = record(2).healthChecks(),
                        third = record(3).healthChecks();
    // The clock stands at the first server's time: the second comes along,
    // the third does not.
    clock.advance(800ms);
    ASSERT_TRUE(waitFor(
        [&] {
            supervisor->runDue();
            return record(1).healthChecks() > first && record(2).healthChecks() > second;
        },
        15000));
    EXPECT_EQ(third, record(3).healthChecks());
    EXPECT_FALSE(record(3).healthCheckUnderWay());
    clock.advance(200ms);
    ASSERT_TRUE(waitFor(
        [&] {
            supervisor->runDue();
            return record(3).healthChecks() > third;
        },
        15000));
}

TEST_F(HealthRuleTest, OperatorsCheckRunsTheRuleNowAsItsNextCheckAndAnswersWithItsVerdict) {
    auto checked = [&](std::int32_t index) {
        std::optional<std::pair<bool, std::string>> answer;
        supervisor->checkHealth(index, [&](bool passed, const std::string& text) { answer.emplace(passed, text); });
        EXPECT_TRUE(waitFor(
            [&] {
                supervisor->runDue();
                return answer.has_value();
            },
            15000));
        return answer.value_or(std::make_pair(false, std::string("no answer")));
    };
    const int silent = freeTcpPort();
    HealthRule listen;
    SetHealthTarget(listen, HealthProbe::tcp, "listen");
    HealthRule refused;
    SetHealthTarget(refused, HealthProbe::tcp, "127.0.0.1:" + std::to_string(silent));
    HealthRule body = httpRule(url(port, "/status"));
    body.bodyContains = "ready";
    body.grace = 30s;
    // Only alerted: a restart would begin a new run with no verdict before
    // the test reads the one the check gave.
    body.onFailure = HealthAction::alert;
    HealthRule passes, fails, hangs;
    passes.probe = fails.probe = hangs.probe = HealthProbe::exec;
    passes.command = program + " --exit-code 0";
    fails.command = program + " --exit-code 4";
    hangs.command = program + " --say hanging";
    hangs.timeout = 500ms;
    HealthRule noListener = listen;

    options.outputDirectory = dir.file("out");
    make().load({withRule(1, "tcp", "--http 127.0.0.1:" + std::to_string(port), listen),
                 withRule(2, "refused", "", refused), withRule(3, "body", "", body), withRule(4, "exec0", "", passes),
                 withRule(5, "exec4", "", fails), withRule(6, "hangs", "", hangs),
                 withRule(7, "quiet", "", noListener), entry(8, "norule", "")});
    settle(1);
    EXPECT_EQ(std::make_pair(true, "tcp: healthy: connected to 127.0.0.1:" + std::to_string(port)), checked(1));
    // A failed check is one of the rule's failures in a row: no verdict
    // yet, and ctl says so with a failure.
    const auto refusedAnswer = checked(2);
    EXPECT_FALSE(refusedAnswer.first);
    EXPECT_EQ(0u, refusedAnswer.second.find("refused: checking: no connection to 127.0.0.1:" +
                                            std::to_string(silent) + ": "))
        << refusedAnswer.second;
    EXPECT_NE(std::string::npos, refusedAnswer.second.find("(1 of 3 failed checks in a row)")) << refusedAnswer.second;
    // Server 3 answers on server 1's port, without "ready" in its body.
    const std::string notReady = "body: checking: HTTP 200 from /status without \"ready\"";
    EXPECT_EQ(std::make_pair(false, notReady + " (1 of 3 failed checks in a row)"), checked(3));
    EXPECT_EQ(std::make_pair(false, notReady + " (2 of 3 failed checks in a row)"), checked(3));
    // The third in a row is the rule's verdict, which every view shows.
    EXPECT_EQ(std::make_pair(false, std::string("body: unhealthy: HTTP 200 from /status without \"ready\"")),
              checked(3));
    EXPECT_EQ(HealthState::Unhealthy, record(3).health());
    EXPECT_EQ(std::make_pair(true, std::string("exec0: healthy: procward-testserver exited with code 0")), checked(4));
    EXPECT_EQ(std::make_pair(false, std::string("exec4: checking: procward-testserver exited with code 4 (1 of 3 "
                                                "failed checks in a row)")),
              checked(5));
    // What the probe printed is in the reason, not in the server's output.
    EXPECT_EQ(std::make_pair(false, std::string("hangs: checking: procward-testserver did not end in 0.5 s: hanging "
                                                "(stdout) | hanging (stderr) (1 of 3 failed checks in a row)")),
              checked(6));
    EXPECT_EQ(std::string::npos, readFile(dir.file("out/hangs.log")).find("hanging"));
    // The command over its time-out was killed.
    EXPECT_EQ(0, running({"--say", "hanging"}));
    EXPECT_EQ(std::make_pair(false,
                             std::string("quiet: checking: no listen address to check (1 of 3 failed checks in a row)")),
              checked(7));
    EXPECT_EQ(std::make_pair(false, std::string("norule has no health rule")), checked(8));
    // Each counted as a check of its rule.
    for (int i = 1; i <= 7; ++i) EXPECT_EQ(i == 3 ? 3u : 1u, record(i).healthChecks()) << i;
}

}  // namespace
