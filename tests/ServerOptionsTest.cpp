#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ServerList.h"
#include "config/ServerOptionsReader.h"
#include "log/AppLogger.h"
#include "tests/support/TempDir.h"
#include "tests/support/TodaysLog.h"

namespace {

using namespace std::chrono_literals;

const char* const kFile = "serverinfo.json";
const char* const kLabel = R"(serverinfo.json: entry 1 ("gs1"): )";

class ServerOptionsTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    ServerList list;

    void SetUp() override {
        ASSERT_EQ(0, ::mkdir("logs", 0777));
        ASSERT_TRUE(AppLogger::Instance().Init());
    }

    // Reads a list of one entry "gs1" with these keys besides its three;
    // the entry must be supervised whatever its options.
    ServerEntry read(const std::string& keys, std::vector<std::string>* warnings = nullptr) {
        writeFile(kFile, R"([{"name":"gs1","processname":"gs","commandline":"/srv/gs -x")" +
                             (keys.empty() ? "" : "," + keys) + "}]");
        const ListResult result = list.load();
        EXPECT_TRUE(result.ok) << result.error;
        if (warnings) *warnings = result.warnings;
        if (list.entries().size() != 1) {
            ADD_FAILURE() << "the entry was not taken: " << keys;
            return {};
        }
        return list.entries().front();
    }
    HealthRule health(const std::string& rule) {
        const ServerEntry entry = read(R"("health":)" + rule);
        EXPECT_TRUE(entry.options.health) << rule;
        return entry.options.health.value_or(HealthRule{});
    }
};

TEST_F(ServerOptionsTest, AnEntryWithoutOptionsMeansWhatItAlwaysMeant) {
    std::vector<std::string> warnings;
    const ServerEntry entry = read("", &warnings);
    EXPECT_EQ(ServerOptions{}, entry.options);
    EXPECT_TRUE(entry.options.killGroup);
    EXPECT_EQ(ServerOutput::file, entry.options.output);
    EXPECT_FALSE(entry.options.health);
    EXPECT_TRUE(warnings.empty());
}

TEST_F(ServerOptionsTest, EveryOptionIsRead) {
    std::vector<std::string> warnings;
    const ServerEntry entry = read(
        R"("cwd":"/srv/游戏","env":{"Z_LAST":"1","A_FIRST":"two words","EMPTY":""},"user":"game","group":"games",)"
        R"("pidfile":"/run/gs.pid","kill_group":false,"output":"discard","unknown":{"kept":[1]},)"
        R"("health":{"http":"http://127.0.0.1:8080/healthz?deep=1","expect":"200-299","body_contains":"OK",)"
        R"("interval":2.5,"timeout":0.5,"failures":5,"grace":0,"max_memory_mb":2048.5,"memory_checks":4,)"
        R"("on_failure":"alert"})",
        &warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    const ServerOptions& o = entry.options;
    EXPECT_EQ("/srv/游戏", o.cwd);
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"Z_LAST", "1"}, {"A_FIRST", "two words"}, {"EMPTY", ""}}),
              o.env);
    EXPECT_EQ("game", o.user);
    EXPECT_EQ("games", o.group);
    EXPECT_EQ("/run/gs.pid", o.pidfile);
    EXPECT_FALSE(o.killGroup);
    EXPECT_EQ(ServerOutput::discard, o.output);
    ASSERT_TRUE(o.health);
    const HealthRule& h = *o.health;
    EXPECT_EQ(HealthProbe::http, h.probe);
    EXPECT_EQ("http://127.0.0.1:8080/healthz?deep=1", h.target);
    EXPECT_FALSE(h.useListenAddress);
    EXPECT_EQ("127.0.0.1", h.host);
    EXPECT_EQ(8080, h.port);
    EXPECT_EQ("/healthz?deep=1", h.path);
    EXPECT_EQ(200, h.expectLow);
    EXPECT_EQ(299, h.expectHigh);
    EXPECT_EQ("OK", h.bodyContains);
    EXPECT_EQ(2500ms, h.interval);
    EXPECT_EQ(500ms, h.timeout);
    EXPECT_EQ(5, h.failures);
    EXPECT_EQ(0ms, h.grace);
    EXPECT_DOUBLE_EQ(2048.5, h.maxMemoryMb);
    EXPECT_EQ(4, h.memoryChecks);
    EXPECT_EQ(HealthAction::alert, h.onFailure);
}

TEST_F(ServerOptionsTest, HealthRuleDefaultsAndProbes) {
    HealthRule h = health(R"({"tcp":"127.0.0.1:8080"})");
    EXPECT_EQ(HealthProbe::tcp, h.probe);
    EXPECT_EQ("127.0.0.1", h.host);
    EXPECT_EQ(8080, h.port);
    EXPECT_EQ(10s, h.interval);
    EXPECT_EQ(3s, h.timeout);
    EXPECT_EQ(3, h.failures);
    EXPECT_EQ(30s, h.grace);
    EXPECT_EQ(0, h.maxMemoryMb);
    EXPECT_EQ(3, h.memoryChecks);
    EXPECT_EQ(HealthAction::restart, h.onFailure);

    h = health(R"({"tcp":"[::1]:9000"})");
    EXPECT_EQ("::1", h.host);
    EXPECT_EQ(9000, h.port);

    h = health(R"({"tcp":"listen"})");
    EXPECT_TRUE(h.useListenAddress);
    EXPECT_EQ(0, h.port);

    h = health(R"({"http":"http://listen/healthz"})");
    EXPECT_EQ(HealthProbe::http, h.probe);
    EXPECT_TRUE(h.useListenAddress);
    EXPECT_EQ(0, h.port);  // the port it listens on
    EXPECT_EQ("/healthz", h.path);
    EXPECT_EQ(200, h.expectLow);
    EXPECT_EQ(399, h.expectHigh);

    h = health(R"({"http":"HTTP://[::1]:81","expect":204})");
    EXPECT_EQ("::1", h.host);
    EXPECT_EQ(81, h.port);
    EXPECT_EQ("/", h.path);
    EXPECT_EQ(204, h.expectLow);
    EXPECT_EQ(204, h.expectHigh);

    h = health(R"({"http":"http://example.org?x=1#part","expect":"200"})");
    EXPECT_EQ(80, h.port);
    EXPECT_EQ("/?x=1", h.path);
    EXPECT_EQ(200, h.expectHigh);

    h = health(R"({"exec":"/opt/game/check.sh --quick"})");
    EXPECT_EQ(HealthProbe::exec, h.probe);
    EXPECT_EQ("/opt/game/check.sh --quick", h.command);

    h = health(R"({"max_memory_mb":512})");
    EXPECT_EQ(HealthProbe::none, h.probe);
    EXPECT_EQ(512, h.maxMemoryMb);
}

TEST_F(ServerOptionsTest, WrongValuesAreWarnedAboutAndIgnored) {
    struct Case {
        std::string keys;
        std::string warning;  // after the entry's label
    };
    const std::vector<Case> cases = {
        {R"("cwd":"/srv/a\u0000b")", R"("cwd" must be a text; ignored)"},
        {R"("user":["root"])", R"("user" must be a text; ignored)"},
        {R"("kill_group":"no")", R"("kill_group" must be true or false; ignored)"},
        {R"("output":"console")", R"("output" must be "file" or "discard"; ignored)"},
        {R"("env":["A=1"])", R"("env" must be an object of variables and their texts; ignored)"},
        {R"("health":"tcp")", R"("health" must be an object; ignored)"},
        {R"("health":{})", R"("health" has no probe ("tcp", "http" or "exec") and no "max_memory_mb"; ignored)"},
        {R"("health":{"interval":5})", R"("health" has no probe ("tcp", "http" or "exec") and no "max_memory_mb"; ignored)"},
        {R"("health":{"tcp":"h:1","exec":"x"})", R"("health" has more than one of "tcp", "http" and "exec"; ignored)"},
        {R"("health":{"tcp":"127.0.0.1"})",
         R"("tcp" of "health" must be "host:port", "[IPv6 address]:port" or "listen"; ignored)"},
        {R"("health":{"tcp":"::1:80"})",
         R"("tcp" of "health" must be "host:port", "[IPv6 address]:port" or "listen"; ignored)"},
        {R"("health":{"tcp":"h:65536"})",
         R"("tcp" of "health" must be "host:port", "[IPv6 address]:port" or "listen"; ignored)"},
        {R"("health":{"tcp":"[1.2.3.4]:80"})",
         R"("tcp" of "health" must be "host:port", "[IPv6 address]:port" or "listen"; ignored)"},
        {R"("health":{"tcp":8080})", R"("tcp" of "health" must be a text; ignored)"},
        {R"("health":{"http":"https://h/"})",
         R"("http" of "health" must be a URL "http://host[:port]/path" (host "listen" allowed); ignored)"},
        {R"("health":{"http":"http://h/a b"})",
         R"("http" of "health" must be a URL "http://host[:port]/path" (host "listen" allowed); ignored)"},
        {R"("health":{"exec":"  "})", R"("exec" of "health" must be a command line; ignored)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> warnings;
        const ServerEntry entry = read(c.keys, &warnings);
        EXPECT_EQ(ServerOptions{}, entry.options) << c.keys;
        EXPECT_EQ(std::vector<std::string>{kLabel + c.warning}, warnings) << c.keys;
    }
    // Each is in the log too.
    const std::string log = readFile(todaysLogFile());
    for (const Case& c : cases)
        EXPECT_NE(std::string::npos, log.find("[WARNING]: " + std::string(kLabel) + c.warning + "\r\n")) << c.keys;
}

TEST_F(ServerOptionsTest, AWrongKeyOfARuleKeepsItsDefaultAndTheRestOfTheRule) {
    struct Case {
        std::string key;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {R"("interval":0)", R"("interval" of "health" must be a number of seconds above 0 up to 86400; ignored)"},
        {R"("interval":"10")", R"("interval" of "health" must be a number of seconds above 0 up to 86400; ignored)"},
        {R"("interval":99999999999)", R"("interval" of "health" must be a number of seconds above 0 up to 86400; ignored)"},
        {R"("timeout":3601)", R"("timeout" of "health" must be a number of seconds above 0 up to 3600; ignored)"},
        {R"("grace":-0.5)", R"("grace" of "health" must be a number of seconds from 0 up to 86400; ignored)"},
        {R"("failures":2.5)", R"("failures" of "health" must be a whole number from 1 to 1000000; ignored)"},
        {R"("failures":4294967299)", R"("failures" of "health" must be a whole number from 1 to 1000000; ignored)"},
        {R"("memory_checks":"3")", R"("memory_checks" of "health" must be a whole number from 1 to 1000000; ignored)"},
        {R"("max_memory_mb":-5)", R"("max_memory_mb" of "health" must be a number of megabytes from 0 (no limit); ignored)"},
        {R"("on_failure":"ignore")", R"("on_failure" of "health" must be "restart" or "alert"; ignored)"},
        {R"("expect":"600")",
         R"("expect" of "health" must be a status code or a range of them such as "200-399"; ignored)"},
        {R"("expect":"399-200")",
         R"("expect" of "health" must be a status code or a range of them such as "200-399"; ignored)"},
        {R"("body_contains":1)", R"("body_contains" of "health" must be a text; ignored)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> warnings;
        const ServerEntry entry = read(R"("health":{"http":"http://h:81/x",)" + c.key + "}", &warnings);
        EXPECT_EQ(std::vector<std::string>{kLabel + c.warning}, warnings) << c.key;
        ASSERT_TRUE(entry.options.health) << c.key;
        HealthRule expected;
        ASSERT_EQ("", SetHealthTarget(expected, HealthProbe::http, "http://h:81/x"));
        EXPECT_EQ(expected, *entry.options.health) << c.key;
    }
}

TEST_F(ServerOptionsTest, BadVariablesAreSkippedOneByOne) {
    std::vector<std::string> warnings;
    const ServerEntry entry = read(R"("env":{"GOOD":"1","NUM":2,"A=B":"x","":"y","GOOD":"second","LAST":"3"})", &warnings);
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"GOOD", "1"}, {"LAST", "3"}}), entry.options.env);
    EXPECT_EQ((std::vector<std::string>{kLabel + std::string(R"("NUM" of "env" must be a text; ignored)"),
                                        kLabel + std::string(R"("A=B" of "env" is not a variable name; ignored)"),
                                        kLabel + std::string(R"("" of "env" is not a variable name; ignored)")}),
              warnings);
}

TEST_F(ServerOptionsTest, EntriesWithoutANameAreLabelledByPositionAlone) {
    writeFile(kFile, R"([{"processname":"p"},{"name":"ok","processname":"p","commandline":"c","kill_group":1}])");
    const ListResult result = list.load();
    EXPECT_EQ((std::vector<std::string>{
                  R"(serverinfo.json: entry 1 skipped: "name" is missing or not a string)",
                  R"(serverinfo.json: entry 2 ("ok"): "kill_group" must be true or false; ignored)"}),
              result.warnings);
    ASSERT_EQ(1u, list.entries().size());
    EXPECT_EQ(2, list.entries().front().index);
}

}  // namespace
