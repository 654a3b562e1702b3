// Health rules on Windows, end to end: procwardd.exe runs real test servers
// with tcp, http and exec rules, the checks go over real loopback ports
// (WinHTTP, Windows Sockets) or run real check programs, and what they find
// is read back through `procwardd ctl` and the daemon's log.
#include <windows.h>

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <string>

#include "tests/support/TempDir.h"
#include "tests/win32/support/WinDaemon.h"
#include "tests/win32/support/WinTestServer.h"
#include "tests/win32/support/WinTestText.h"

namespace {

// A server's row of `ctl status --json`, as far as these tests read it.
struct Row {
    bool found = false;
    int pid = 0;
    unsigned restarts = 0;
    std::string state, health, reason;
};

class Win32HealthTest : public ::testing::Test {
protected:
    Win32HealthTest() : daemon(dir) {}

    // One server, `program` (a copy of the test server) with `arguments`,
    // watched by the rule `health` (a JSON object's members, without braces).
    void writeServer(const std::string& name, const std::string& program, const std::string& arguments,
                     const std::string& health) {
        const std::string path = WinTestServer::copyProgram(dir, program);
        daemon.endAlso(program);
        writeFile(dir.path() + "\\serverinfo.json",
                  "[{\"name\":\"" + name + "\",\"processname\":\"" + program + "\",\"commandline\":\"" +
                      jsonEscaped(path + " " + arguments) + "\",\"health\":{" + health + "}}]");
        writeFile(dir.path() + "\\procward.ini", "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nSTOP_TIMEOUT=0\r\n");
    }

    Row row() const {
        Row r;
        const FinishedRun status = daemon.ctl("status --json");
        rapidjson::Document json;
        json.Parse(status.out.c_str());
        if (status.code != 0 || json.HasParseError() || !json.IsObject() || !json.HasMember("servers") ||
            !json["servers"].IsArray() || json["servers"].Empty())
            return r;
        const rapidjson::Value& s = json["servers"][0];
        r.found = true;
        r.pid = s.HasMember("pid") && s["pid"].IsInt() ? s["pid"].GetInt() : 0;
        r.restarts = s["restarts"].GetUint();
        r.state = s["state"].GetString();
        r.health = s["health"].GetString();
        if (s.HasMember("health_reason")) r.reason = s["health_reason"].GetString();
        return r;
    }

    // Waits for the server's health to read `health` (with a generous
    // limit: Wine starts processes slowly on a busy machine).
    bool healthBecomes(const std::string& health, Row& seen, DWORD ms = 60000) {
        return eventually([&] {
            seen = row();
            return seen.found && seen.health == health && seen.pid > 0;
        }, ms);
    }

    bool logHas(const std::string& text, DWORD ms = 60000) const {
        return eventually([&] { return daemon.log().find(text) != std::string::npos; }, ms);
    }

    TempDir dir;
    WinDaemon daemon;
};

}  // namespace

TEST_F(Win32HealthTest, AnHttpRuleRestartsAServerAnswering503AfterItsFailuresInARow) {
    const int port = freePort();
    const std::string answer = dir.path() + "\\answer";
    writeFile(answer, "200\n");
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/healthz";
    writeServer("gs-web", "websrv.exe", "--http 127.0.0.1:" + std::to_string(port) + " --http-status-file " + answer,
                "\"http\":\"" + url + "\",\"interval\":1,\"timeout\":2,\"failures\":2,\"grace\":0");
    ASSERT_TRUE(daemon.start());

    Row first;
    ASSERT_TRUE(healthBecomes("healthy", first)) << first.health << "\n" << daemon.log();
    const FinishedRun check = daemon.ctl("check gs-web");
    EXPECT_EQ(0u, check.code) << check.out;
    EXPECT_NE(std::string::npos, check.out.find("gs-web: healthy: HTTP 200 from /healthz")) << check.out;

    writeFile(answer, "503\n");
    // An operator's check counts as one of the rule's: the first failure
    // is only counted, the verdict turns at the second in a row.
    FinishedRun failing = daemon.ctl("check gs-web");
    EXPECT_NE(std::string::npos, failing.out.find("HTTP 503 from /healthz")) << failing.out;
    if (failing.code == 0) {
        EXPECT_NE(std::string::npos, failing.out.find("gs-web: healthy: HTTP 503 from /healthz (1 of 2 failed checks"))
            << failing.out;
    }
    ASSERT_TRUE(eventually([&] {
        failing = daemon.ctl("check gs-web");
        return failing.code == 1;
    }, 30000)) << failing.out;
    EXPECT_NE(std::string::npos, failing.out.find("gs-web: unhealthy: HTTP 503 from /healthz")) << failing.out;
    // Acted on at the second failure in a row, not at the first.
    ASSERT_TRUE(logHas("gs-web is unhealthy: HTTP 503 from /healthz (" + url +
                       ", 2 failed checks in a row); it will be restarted"))
        << daemon.log();
    EXPECT_EQ(std::string::npos, daemon.log().find("1 failed check in a row")) << daemon.log();

    // The old process is ended and a new one started in its place.
    EXPECT_TRUE(eventually([&] { return !processRuns(first.pid); }, 30000));
    writeFile(answer, "200\n");
    Row second;
    // Healthy, and running once its start is confirmed.
    ASSERT_TRUE(eventually([&] {
        return healthBecomes("healthy", second, 1000) && second.pid != first.pid && second.state == "running";
    }, 60000)) << second.pid << " " << second.health << " " << second.state << "\n" << daemon.log();
    EXPECT_GT(second.restarts, first.restarts);
}

TEST_F(Win32HealthTest, ATcpRuleThatOnlyAlertsLeavesTheServerRunningAndSeesItRecover) {
    const int port = freePort();
    const std::string target = "127.0.0.1:" + std::to_string(port);
    // It opens its port only when asked to.
    writeServer("gs-tcp", "tcpsrv.exe", "--listen-on-signal " + target,
                "\"tcp\":\"" + target + "\",\"interval\":1,\"timeout\":2,\"failures\":2,\"grace\":0,"
                "\"on_failure\":\"alert\"");
    ASSERT_TRUE(daemon.start());

    Row sick;
    ASSERT_TRUE(healthBecomes("unhealthy", sick)) << sick.health << "\n" << daemon.log();
    EXPECT_EQ(0u, sick.reason.find("no connection to " + target + ": ")) << sick.reason;
    EXPECT_TRUE(logHas("gs-tcp is unhealthy: no connection to " + target)) << daemon.log();
    EXPECT_NE(std::string::npos, daemon.log().find("; it is left running")) << daemon.log();
    const FinishedRun table = daemon.ctl("status");
    EXPECT_EQ(0u, table.code);
    EXPECT_NE(std::string::npos, table.out.find(" unhealthy ")) << table.out;
    EXPECT_NE(std::string::npos, table.out.find("no connection to " + target)) << table.out;

    ASSERT_TRUE(askToListen(sick.pid));
    Row well;
    ASSERT_TRUE(healthBecomes("healthy", well)) << well.health << " " << well.reason << "\n" << daemon.log();
    EXPECT_TRUE(logHas("gs-tcp has recovered: connected to " + target)) << daemon.log();
    // Only alerted about: the same process ran throughout.
    EXPECT_EQ(sick.pid, well.pid);
    EXPECT_EQ(sick.restarts, well.restarts);
    EXPECT_TRUE(acceptsConnections(port));
}

TEST_F(Win32HealthTest, AnExecRuleRunsItsCheckProgramAndRestartsOnANonZeroExit) {
    const std::string checker = WinTestServer::copyProgram(dir, "check.exe");
    daemon.endAlso("check.exe");
    const std::string sick = dir.path() + "\\sick";
    // The check says a line, then exits 3 while the file `sick` exists, else 0.
    writeServer("gs-exec", "execsrv.exe", "-x 1",
                "\"exec\":\"" + jsonEscaped(checker + " --say from-the-check --exit-if " + sick + " --exit-code 0") +
                    "\",\"interval\":1,\"timeout\":10,\"failures\":2,\"grace\":0");
    ASSERT_TRUE(daemon.start());

    Row first;
    ASSERT_TRUE(healthBecomes("healthy", first)) << first.health << " " << first.reason << "\n" << daemon.log();
    const FinishedRun check = daemon.ctl("check gs-exec");
    EXPECT_EQ(0u, check.code) << check.out;
    EXPECT_NE(std::string::npos, check.out.find("gs-exec: healthy: check.exe exited with code 0")) << check.out;
    writeFile(sick, "x");
    // A failed check's last lines end its reason...
    ASSERT_TRUE(logHas("gs-exec is unhealthy: check.exe exited with code 3: from-the-check (stdout) | "
                       "from-the-check (stderr) ("))
        << daemon.log();
    // ...and never reach the server's own output.
    const std::string output = dir.path() + "\\logs\\servers\\gs-exec.log";
    EXPECT_EQ(std::string::npos, readFile(output).find("from-the-check")) << readFile(output);
    EXPECT_NE(std::string::npos, daemon.log().find("2 failed checks in a row); it will be restarted")) << daemon.log();
    EXPECT_TRUE(eventually([&] { return !processRuns(first.pid); }, 30000));

    ASSERT_TRUE(::DeleteFileA(sick.c_str()));
    Row second;
    ASSERT_TRUE(eventually([&] { return healthBecomes("healthy", second, 1000) && second.pid != first.pid; }, 60000))
        << second.pid << " " << second.health << "\n" << daemon.log();
    EXPECT_GT(second.restarts, first.restarts);
}

TEST_F(Win32HealthTest, AnExecCheckThatDoesNotEndIsKilledAtItsTimeout) {
    const std::string hanging = WinTestServer::copyProgram(dir, "hang.exe");
    daemon.endAlso("hang.exe");
    // Without arguments the test server runs until it is killed.
    writeServer("gs-hang", "hangsrv.exe", "-x 1",
                "\"exec\":\"" + jsonEscaped(hanging) +
                    "\",\"interval\":1,\"timeout\":1,\"failures\":1,\"grace\":0,\"on_failure\":\"alert\"");
    ASSERT_TRUE(daemon.start());

    Row seen;
    ASSERT_TRUE(healthBecomes("unhealthy", seen)) << seen.health << "\n" << daemon.log();
    EXPECT_EQ("hang.exe did not end in 1 s", seen.reason);
    EXPECT_TRUE(logHas("gs-hang is unhealthy: hang.exe did not end in 1 s")) << daemon.log();

    // Stopped, the server gets no more checks; every check program that was
    // started has been killed at its time-out, so none is left running.
    const FinishedRun stop = daemon.ctl("stop gs-hang");
    EXPECT_EQ(0u, stop.code) << stop.out;
    EXPECT_TRUE(eventually([] { return pidOfProgram("hang.exe") == 0; }, 30000));
}

TEST_F(Win32HealthTest, AnHttpRuleCountsAnAnswerThatComesTooLateAsNone) {
    const int port = freePort();
    // Connections are accepted at once, the answer comes long after the
    // rule's time-out.
    writeServer("gs-slow", "slowsrv.exe", "--http 127.0.0.1:" + std::to_string(port) + " --http-delay 30000",
                "\"http\":\"http://127.0.0.1:" + std::to_string(port) +
                    "/healthz\",\"interval\":1,\"timeout\":1,\"failures\":2,\"grace\":0,\"on_failure\":\"alert\"");
    ASSERT_TRUE(daemon.start());

    Row seen;
    ASSERT_TRUE(healthBecomes("unhealthy", seen)) << seen.health << "\n" << daemon.log();
    EXPECT_EQ("no answer in 1 s", seen.reason);
    const FinishedRun check = daemon.ctl("check gs-slow");
    EXPECT_EQ(1u, check.code) << check.out;
    EXPECT_NE(std::string::npos, check.out.find("gs-slow: unhealthy: no answer in 1 s")) << check.out;
    EXPECT_EQ(seen.pid, row().pid);
}

TEST_F(Win32HealthTest, AServerWhoseWorkingSetGrowsPastItsLimitIsRestarted) {
    // 8 MB more every 100 ms, touched so that it is in the working set.
    writeServer("gs-grow", "growsrv.exe", "--grow 8",
                "\"max_memory_mb\":64,\"memory_checks\":2,\"interval\":1,\"grace\":0");
    ASSERT_TRUE(daemon.start());
    int first = 0;
    ASSERT_TRUE(eventually([&] { return (first = pidOfProgram("growsrv.exe")) != 0; }, 60000)) << daemon.log();

    ASSERT_TRUE(logHas("gs-grow is unhealthy: RSS ")) << daemon.log();
    EXPECT_NE(std::string::npos, daemon.log().find(" > 64 MB for 2 checks; it will be restarted")) << daemon.log();
    EXPECT_TRUE(eventually([&] { return !processRuns(first); }, 30000));
    EXPECT_TRUE(eventually([&] {
        const int now = pidOfProgram("growsrv.exe");
        return now != 0 && now != first;
    }, 60000)) << daemon.log();
}
