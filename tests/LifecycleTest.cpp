// One state per server, and every view made from it: ctl's JSON, the
// metrics, the window's row and the window-less line agree after any
// sequence of kills, stops, starts, reloads, health passes and failures and
// late pidfiles; the alerts come from the transitions.
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <random>
#include <regex>
#include <set>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "app/core/HeadlessRunner.h"
#include "app/core/ServiceHost.h"
#include "app/core/StatusBoard.h"
#include "app/core/StatusReport.h"
#include "platform/ProcessControl.h"
#include "supervision/ServerLifecycle.h"
#include "tests/support/SupervisionFixture.h"
#include "ui/model/RowStatus.h"
#include "ui/model/TrayState.h"

namespace {

// What one view says of one server.
struct Seen {
    std::string state;
    int pid = 0;
    long long restarts = -1;
    std::string health;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
    return out << seen.state << " pid=" << seen.pid << " restarts=" << seen.restarts << " health=" << seen.health;
}

const char* const kStateWords[] = {"stopped", "starting", "running", "stopping", "failing", "backoff"};

// The window's words for the states, back to the engine's.
std::string fromRowText(const std::string& text) {
    static const std::map<std::string, std::string> words{{"运行中", "running"},   {"启动中", "starting"},
                                                          {"停止中", "stopping"},  {"已停止", "stopped"},
                                                          {"启动失败", "failing"}, {"等待重启", "backoff"}};
    const auto found = words.find(text);
    return found == words.end() ? "?" + text : found->second;
}

class LifecycleTest : public SupervisionFixture {
protected:
    void TearDown() override {
        host.reset();  // it watches the supervisor
        SupervisionFixture::TearDown();
    }

    // Checks every alert against the record it is about, as it is raised.
    class CheckingSink : public AlertSink {
    public:
        explicit CheckingSink(LifecycleTest& test) : test_(test) {}
        void alert(const AlertEvent& event) override { test_.alertRaised(event); }

    private:
        LifecycleTest& test_;
    };

    void alertRaised(const AlertEvent& event) {
        const MonitoredServer* server = supervisor->find(event.index);
        ASSERT_NE(nullptr, server) << event.message;
        const ServerState state = server->state();
        switch (event.kind) {
            case AlertKind::Started:
            case AlertKind::Restarted: {
                // Told once the process has lived the confirmation time.
                EXPECT_EQ(ServerState::Running, state) << event.message;
                EXPECT_EQ(server->info().pid, event.pid) << event.message;
                EXPECT_GE(server->runningFor(), options.startConfirm) << event.message;
                if (event.kind == AlertKind::Started) {
                    EXPECT_EQ(0u, server->restarts()) << event.message;
                    EXPECT_TRUE(started.insert(event.index).second) << "started twice: " << event.message;
                } else {
                    EXPECT_GT(server->restarts(), 0u) << event.message;
                }
                break;
            }
            case AlertKind::StartFailed:
            case AlertKind::ServerDown:
                EXPECT_EQ(0, server->info().pid) << event.message;
                EXPECT_TRUE(server->autoStart()) << event.message;
                EXPECT_TRUE(state == ServerState::Stopped || state == ServerState::Failing ||
                            state == ServerState::Backoff)
                    << event.message << " in " << serverStateName(state);
                break;
            case AlertKind::Stopped:
                EXPECT_EQ(ServerState::Stopped, state) << event.message;
                EXPECT_FALSE(server->autoStart()) << event.message;
                break;
            case AlertKind::Unhealthy: EXPECT_EQ(HealthState::Unhealthy, server->health()) << event.message; break;
            default: break;
        }
        ++alertCount[event.kind];
    }

    // The running clocks of a snapshot, which differ from one moment to
    // the next, zeroed.
    static StatusSnapshot withoutClocks(StatusSnapshot snapshot) {
        for (ServerReport& report : snapshot.servers) {
            report.uptime = {};
            report.uptimeSeconds = 0;
            report.nextAttempt = 0;
            report.nextAttemptIn.reset();
            report.killIn.reset();
        }
        snapshot.passDurations = {};
        return snapshot;
    }

    // Every view, read as a user reads it, against the record.
    void expectViewsAgree(const std::string& step) {
        SCOPED_TRACE(step);
        StatusSnapshot snapshot = StatusBoard::snapshotOf(*supervisor);
        if (host) {
            // What ctl and the metrics answer from: published after the last
            // change or pass, mostly by refreshing the earlier snapshot.
            const StatusSnapshot published = withoutClocks(*host->board().current());
            const StatusSnapshot fresh = withoutClocks(snapshot);
            EXPECT_TRUE(published.servers == fresh.servers)
                << "published:\n" << StatusReport::json(published) << "\nthe records now:\n" << StatusReport::json(fresh);
            EXPECT_EQ(fresh.running, published.running);
            snapshot = *host->board().current();
        }
        rapidjson::Document json;
        json.Parse(StatusReport::json(snapshot).c_str());
        ASSERT_TRUE(json.IsObject());
        const std::string metrics = StatusReport::metrics(snapshot, {}, "test");
        std::vector<RowStatus> rows;
        int running = 0;
        for (const auto& [index, server] : supervisor->servers()) {
            SCOPED_TRACE(server->info().name);
            const ServerReport report = server->report();
            Seen record{serverStateName(server->state()), server->info().pid,
                        static_cast<long long>(server->restarts()), healthStateName(server->health())};
            running += server->state() == ServerState::Running;

            // Invariants of the one state.
            const bool holds = server->state() == ServerState::Starting || server->state() == ServerState::Running ||
                               server->state() == ServerState::Stopping;
            if (!holds) {
                EXPECT_EQ(0, record.pid) << record;
            }
            if (record.pid > 0) {
                EXPECT_TRUE(holds) << record;
            }
            EXPECT_LE(server->restarts(), server->launches());
            EXPECT_LE(server->launches(), server->restarts() + 1);

            // ctl's JSON.
            const rapidjson::Value* entry = nullptr;
            for (const auto& s : json["servers"].GetArray())
                if (s["index"].GetInt() == index) entry = &s;
            ASSERT_NE(nullptr, entry);
            const Seen inJson{(*entry)["state"].GetString(), (*entry)["pid"].GetInt(),
                              static_cast<long long>((*entry)["restarts"].GetUint64()), (*entry)["health"].GetString()};
            EXPECT_EQ(record, inJson) << "ctl --json";

            // The metrics: one state series at 1, the rest at 0.
            const std::string labels = "{name=\"" + server->info().name + "\"";
            Seen inMetrics;
            inMetrics.health = record.health;  // compared below, as the metric shows it
            for (const char* word : kStateWords) {
                const std::string series = "procward_server_state" + labels + ",state=\"" + word + "\"} ";
                const auto at = metrics.find(series);
                ASSERT_NE(std::string::npos, at) << series;
                if (metrics.compare(at + series.size(), 1, "1") == 0) {
                    EXPECT_EQ("", inMetrics.state) << "two states at 1";
                    inMetrics.state = word;
                }
            }
            const std::string pidSeries = "procward_server_pid" + labels + "} ";
            inMetrics.pid = std::stoi(metrics.substr(metrics.find(pidSeries) + pidSeries.size()));
            const std::string restartSeries = "procward_server_restarts_total" + labels + "} ";
            inMetrics.restarts = std::stoll(metrics.substr(metrics.find(restartSeries) + restartSeries.size()));
            EXPECT_EQ(record, inMetrics) << "/metrics";
            const std::string healthySeries = "procward_server_healthy" + labels + "} ";
            const auto healthy = metrics.find(healthySeries);
            if (record.health == "healthy" || record.health == "unhealthy") {
                ASSERT_NE(std::string::npos, healthy);
                EXPECT_EQ(record.health == "healthy" ? '1' : '0', metrics[healthy + healthySeries.size()]);
            } else {
                EXPECT_EQ(std::string::npos, healthy);
            }

            // The window's row.
            const RowStatus row = RowStatus::of(report);
            rows.push_back(row);
            EXPECT_EQ(record.state, fromRowText(RowStatus::stateText(row.state)));
            EXPECT_EQ(record.pid > 0 ? std::to_string(record.pid) : "", row.pid) << "the row";
            EXPECT_NE(std::string::npos, row.tooltip.find("重启次数：" + std::to_string(record.restarts)));
            EXPECT_EQ(record.health == "unhealthy", row.unhealthy);

            // The window-less line: index, name, state, PID, ..., health.
            std::istringstream line(HeadlessRunner::rowLine(report));
            std::string lineIndex, lineName, lineState, linePid;
            line >> lineIndex >> lineName >> lineState >> linePid;
            EXPECT_EQ(record.state, lineState) << line.str();
            EXPECT_EQ(record.pid > 0 ? std::to_string(record.pid) : "-", linePid) << line.str();
            EXPECT_NE(std::string::npos, line.str().find("  " + record.health)) << line.str();
        }
        EXPECT_EQ(running, json["running"].GetInt());
        EXPECT_EQ(running, snapshot.running);
        const TrayState tray = TrayState::of(rows);
        EXPECT_EQ(running, tray.running + static_cast<int>(tray.unhealthy.size()));
    }

    // Runs the loop in steps of the clock until the exit watcher and the
    // health checks have nothing more to bring (in real time), checking the
    // views after each step.
    void runFor(Clock::Duration span, const std::string& step) {
        const Clock::TimePoint until = clock.now() + span;
        while (clock.now() < until) {
            const Clock::Duration left = until - clock.now();
            clock.advance(std::min<Clock::Duration>(left, 50ms));
            supervisor->runDue();
            // A health check under way comes back within its time-out.
            waitFor([&] {
                supervisor->runDue();
                for (const auto& [index, server] : supervisor->servers())
                    if (server->healthCheckUnderWay()) return false;
                return true;
            });
            expectViewsAgree(step);
            if (HasFatalFailure()) return;
        }
    }

    ServerEntry daemonizing(std::int32_t index) {
        // As the program: the daemon left behind becomes this process's child.
        platform::becomeChildSubreaper();
        const std::string path = dir.file("daemonize.sh");
        writeFile(path,
                  "#!/bin/sh\nsetsid sh -c 'sleep 0.3; exec \"$1\" --role daemon' daemon \"$SERVER\" &\nexit 0\n");
        ::chmod(path.c_str(), 0755);
        ServerOptions keys;
        keys.pidfile = dir.file("daemon.pid");
        keys.env = {{"PROCWARD_READY_FILE", keys.pidfile}, {"SERVER", program}};
        return ServerEntry{index, "daemon", "daemonize.sh", path, keys};
    }

    std::set<std::int32_t> started;
    std::map<AlertKind, int> alertCount;
    std::unique_ptr<ServiceHost> host;
};

TEST_F(LifecycleTest, EveryViewAgreesOnStatePidAndCountsThroughRandomEventSequences) {
    options.startConfirm = 1s;
    options.stopTimeout = 1s;
    options.restartBackoffMax = 4s;
    const int plainPort = freeTcpPort();
    const int webPort = freeTcpPort();
    const std::string status = dir.file("status");
    const std::string crash = dir.file("crash");
    writeFile(status, "200");
    HealthRule rule;
    rule.probe = HealthProbe::http;
    rule.useListenAddress = true;
    rule.path = "/healthz";
    rule.target = "http://listen/healthz";
    rule.interval = 1s;
    rule.timeout = 1s;
    rule.failures = 2;
    rule.grace = 0s;
    std::vector<ServerEntry> list{
        entry(1, "plain", "--listen 127.0.0.1:" + std::to_string(plainPort)),
        entry(2, "web", "--http 127.0.0.1:" + std::to_string(webPort) + " --http-status-file " + status),
        entry(3, "crashy", "--exit-if " + crash),
        daemonizing(4),
    };
    list[1].options.health = rule;
    CheckingSink checking(*this);
    make();
    host = std::make_unique<ServiceHost>(*supervisor, [] {});
    supervisor->addAlertSink(&checking);
    supervisor->load(list);
    runFor(2s, "the first start");

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int step = 0; step < 40 && !HasFatalFailure(); ++step) {
        const std::int32_t index = pick(4) + 1;
        const MonitoredServer* server = supervisor->find(index);
        ASSERT_NE(nullptr, server);
        std::string what;
        switch (pick(9)) {
            case 0:
                if (server->info().pid > 0) {
                    what = "kill -9 " + server->info().name;
                    const int before = wakeCount();
                    ::kill(server->info().pid, SIGKILL);
                    waitForWake(before);
                }
                break;
            case 1:
                what = "stop " + server->info().name;
                supervisor->stop(index);
                break;
            case 2:
                what = "start " + server->info().name;
                supervisor->start(index);
                break;
            case 3:
                what = "restart " + server->info().name;
                supervisor->restart(index);
                break;
            case 4:
                what = "ctl kill " + server->info().name;
                supervisor->kill(index);
                break;
            case 5: {
                // A reload: the same list, or web's rule with another interval.
                what = "reload";
                list[1].options.health->interval = pick(2) ? 1s : 2s;
                supervisor->load(list);
                break;
            }
            case 6:
                what = "web answers " + std::string(pick(2) ? "500" : "200");
                writeFile(status, what.substr(what.size() - 3));
                break;
            case 7:
                what = "crashy breaks or mends";
                if (::access(crash.c_str(), F_OK) == 0)
                    ::unlink(crash.c_str());
                else
                    writeFile(crash, "");
                break;
            default: what = "time passes"; break;
        }
        if (what.empty()) continue;
        expectViewsAgree(what);
        runFor(std::chrono::milliseconds(100 * (1 + pick(30))), what + ", then time");
    }
    // Launched servers were announced, each first start at most once.
    EXPECT_LE(started.size(), 4u);
    EXPECT_GT(alertCount[AlertKind::Started], 0);
}

// --- named cases ---

TEST_F(LifecycleTest, AFreshServerHasRestartedNoTimesAndOnlyALaterStartIsARestart) {
    options.startConfirm = 1s;
    make().load({entry(1, "gs1", "")});
    EXPECT_EQ(ServerState::Starting, record(1).state());
    EXPECT_EQ(1u, record(1).launches());
    EXPECT_EQ(0u, record(1).restarts());
    runFor(1100ms, "confirmed");
    const int first = record(1).info().pid;
    EXPECT_EQ((std::vector<AlertKind>{AlertKind::Started}), alerts.kinds());
    EXPECT_EQ("gs1 started successfully: pid=" + std::to_string(first), alerts.events.back().message);

    const int before = wakeCount();
    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitForWake(before));
    runFor(1200ms, "started again");
    EXPECT_EQ(ServerState::Running, record(1).state());
    EXPECT_EQ(2u, record(1).launches());
    EXPECT_EQ(1u, record(1).restarts());
    EXPECT_EQ((std::vector<AlertKind>{AlertKind::Started, AlertKind::ServerDown, AlertKind::Restarted}),
              alerts.kinds());
}

TEST_F(LifecycleTest, AProcessThatDiesWithinTheConfirmationTimeIsAFailedStartNeverAStart) {
    options.startConfirm = 1s;
    options.restartBackoffMax = 8s;
    int woken = wakeCount();
    make().load({entry(1, "shortlived", "--exit-after 100")});
    // Each attempt dies before it has lived a second on the supervisor's
    // clock (the clock waits for it): a failed start every time, never
    // announced, never "down", and the back-off spaces the attempts.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        EXPECT_EQ(ServerState::Starting, record(1).state());
        ASSERT_TRUE(waitForWake(woken));
        woken = wakeCount();
        supervisor->runDue();
        EXPECT_EQ(attempt == 1 ? ServerState::Failing : ServerState::Backoff, record(1).state());
        EXPECT_EQ(0, record(1).info().pid);
        const auto next = record(1).nextRestart();
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(attempt == 1 ? 1s : attempt == 2 ? 2s : 4s, *next - clock.now());
        clock.advance(*next - clock.now());
        supervisor->runDue();
        EXPECT_EQ(static_cast<std::uint64_t>(attempt + 1), record(1).launches());
    }
    ASSERT_EQ(3u, alerts.events.size());
    for (const AlertEvent& event : alerts.events) {
        EXPECT_EQ(AlertKind::StartFailed, event.kind) << event.message;
        EXPECT_EQ(0u, event.message.find("shortlived could not be started: it exited with code 3 after 0.0 s"))
            << event.message;
    }
}

TEST_F(LifecycleTest, ALatePidfileKeepsTheServerStartingInEveryViewUntilItsProcessIsHeld) {
    options.startConfirm = 0s;
    make().load({daemonizing(1)});
    // The starter has exited, the daemon has not written its pidfile yet.
    ASSERT_TRUE(followUntil([&] { return record(1).info().pid == 0 || record(1).state() == ServerState::Running; }));
    EXPECT_EQ(ServerState::Starting, record(1).state());
    expectViewsAgree("waiting for the pidfile");
    EXPECT_TRUE(alerts.events.empty());
    ASSERT_TRUE(followUntil([&] { return record(1).state() == ServerState::Running; }));
    launched.push_back(record(1).info().pid);
    expectViewsAgree("the daemon is held");
    ASSERT_EQ(1u, alerts.events.size());
    EXPECT_EQ(AlertKind::Started, alerts.events[0].kind);
    EXPECT_EQ(record(1).info().pid, alerts.events[0].pid);
}

TEST_F(LifecycleTest, TheOperatorsCheckGivesTheRulesOwnVerdictMemoryLimitIncluded) {
    HealthRule rule;
    rule.maxMemoryMb = 0.5;  // any process is above it
    rule.memoryChecks = 2;
    rule.interval = 10s;
    rule.grace = 60s;  // no check of its own meanwhile: only the operator's
    rule.onFailure = HealthAction::alert;
    ServerEntry fat = entry(1, "fat", "");
    fat.options.health = rule;
    make().load({fat});
    runFor(300ms, "settled");
    std::vector<std::pair<bool, std::string>> answers;
    const auto check = [&] {
        const std::size_t before = answers.size();
        supervisor->checkHealth(1, [&](bool passed, const std::string& text) { answers.emplace_back(passed, text); });
        return waitFor([&] {
            supervisor->runDue();
            return answers.size() > before;
        });
    };
    ASSERT_TRUE(check());
    ASSERT_TRUE(check());
    // Two checks above the limit: the verdict every view shows, and ctl's.
    EXPECT_EQ(HealthState::Unhealthy, record(1).health());
    ASSERT_EQ(2u, answers.size());
    EXPECT_FALSE(answers[1].first);
    EXPECT_EQ("fat: unhealthy: " + record(1).healthReason(), answers[1].second);
    EXPECT_NE(std::string::npos, answers[1].second.find(" > 1 MB for 2 checks")) << answers[1].second;
    expectViewsAgree("unhealthy by its memory");
    // Without a rule there is nothing to check.
    supervisor->load({entry(1, "fat", "")});
    answers.clear();
    supervisor->checkHealth(1, [&](bool passed, const std::string& text) { answers.emplace_back(passed, text); });
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ(std::make_pair(false, std::string("fat has no health rule")), answers[0]);
}

TEST_F(LifecycleTest, AServerStoppedOnPurposeAndOneThatFailsDifferInTheStateSeries) {
    options.startConfirm = 0s;
    options.restartBackoffMax = 60s;
    ServerEntry missing = entry(2, "missing", "");
    missing.commandline = dir.file("no-such-program");
    make().load({entry(1, "kept", ""), missing});
    supervisor->stop(1);
    ASSERT_TRUE(followUntil([&] { return record(1).state() == ServerState::Stopped; }));
    runFor(3s, "the missing program tried again");
    const std::string metrics = StatusReport::metrics(StatusBoard::snapshotOf(*supervisor), {}, "test");
    EXPECT_NE(std::string::npos, metrics.find("procward_server_state{name=\"kept\",state=\"stopped\"} 1"));
    EXPECT_NE(std::string::npos, metrics.find("procward_server_auto_start{name=\"kept\"} 0"));
    EXPECT_NE(std::string::npos,
              metrics.find("procward_server_state{name=\"missing\",state=\"backoff\"} 1"));
    EXPECT_NE(std::string::npos,
              metrics.find("procward_server_state{name=\"missing\",state=\"stopped\"} 0"));
    // Its next attempt is ahead of now, in the report every view reads.
    const ServerReport report = record(2).report();
    ASSERT_TRUE(report.nextAttemptIn.has_value());
    EXPECT_GT(*report.nextAttemptIn, Clock::Duration::zero());
    EXPECT_GE(report.nextAttempt, clock.secondsSince1970());
    // The operator's stop was told as such, the failures as failed starts.
    EXPECT_EQ(1u, alerts.messages(AlertKind::Stopped).size());
    EXPECT_EQ("kept was stopped by the operator", alerts.messages(AlertKind::Stopped)[0]);
}

TEST(ServerLifecycleTest, OnlyTheTransitionsOfTheTableCanBeMade) {
    using S = ServerState;
    // A process is launched only from where none is held, and a start is
    // confirmed only from starting.
    EXPECT_TRUE(ServerLifecycle::allowed(S::Failing, S::Starting));
    EXPECT_FALSE(ServerLifecycle::allowed(S::Running, S::Starting));
    EXPECT_FALSE(ServerLifecycle::allowed(S::Stopping, S::Starting));
    EXPECT_FALSE(ServerLifecycle::allowed(S::Failing, S::Stopping));
    EXPECT_FALSE(ServerLifecycle::allowed(S::Stopped, S::Stopping));
    ServerLifecycle life;
    EXPECT_FALSE(life.enter(S::Stopping, Clock::TimePoint{}));
    EXPECT_EQ(S::Stopped, life.state());
    EXPECT_TRUE(life.enter(S::Starting, Clock::TimePoint{} + 1s));
    EXPECT_EQ(Clock::TimePoint{} + 1s, life.since());
}

}  // namespace
