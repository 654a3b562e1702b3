// The texts and parsing of the supervisor on servers: the command line, the
// metrics address, the status texts, and the removal of old daily logs.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "app/core/CommandLine.h"
#include "app/core/MetricsServer.h"
#include "app/core/ServiceCommand.h"
#include "app/core/StatusReport.h"
#include "config/AppDirectories.h"
#include "log/LogRetention.h"
#include "tests/support/TempDir.h"

namespace {

CommandLine parse(std::vector<std::string> words, bool daemon) {
    words.insert(words.begin(), daemon ? "procwardd" : "procward");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    return CommandLine::parse(static_cast<int>(argv.size()), argv.data(), daemon);
}

TEST(CommandLineTest, ModesAndDirectories) {
    EXPECT_EQ(CommandLine::Mode::Headless, parse({}, true).mode);
    EXPECT_EQ(CommandLine::Mode::Window, parse({}, false).mode);
    EXPECT_EQ(CommandLine::Mode::Headless, parse({"--headless"}, false).mode);

    const CommandLine both = parse({"--config-dir", "/etc/procward", "--log-dir=/var/log/procward"}, true);
    EXPECT_EQ(CommandLine::Mode::Headless, both.mode);
    EXPECT_EQ("/etc/procward", both.configDir);
    EXPECT_EQ("/var/log/procward", both.logDir);

    const CommandLine mail = parse({"--test-mail", "--verbose", "--config-dir", "/etc/procward"}, false);
    EXPECT_EQ(CommandLine::Mode::TestMail, mail.mode);
    EXPECT_TRUE(mail.verbose);
    EXPECT_EQ("/etc/procward", mail.configDir);

    // The window's toolkit gets what is not ours.
    const CommandLine window = parse({"--display", ":1", "--log-dir", "/tmp"}, false);
    EXPECT_EQ(CommandLine::Mode::Window, window.mode);
    EXPECT_EQ((std::vector<std::string>{"procward", "--display", ":1"}), window.toolkitArgs);
    EXPECT_EQ("/tmp", window.logDir);
}

TEST(CommandLineTest, VersionIsAModeOfItsOwn) {
    for (const bool daemon : {true, false}) {
        EXPECT_EQ(CommandLine::Mode::Version, parse({"--version"}, daemon).mode);
        EXPECT_EQ(CommandLine::Mode::Version, parse({"--version", "--config-dir", "/etc/procward"}, daemon).mode);
        const CommandLine mixed = parse({"--test-mail", "--version"}, daemon);
        EXPECT_EQ(CommandLine::Mode::Usage, mixed.mode);
        EXPECT_EQ("\"--version\" cannot be combined with the mode given before it", mixed.error);
    }
    // After ctl it is a word of the command's.
    EXPECT_EQ((std::vector<std::string>{"--version"}), parse({"ctl", "--version"}, true).ctlArgs);
}

TEST(CommandLineTest, CtlTakesEveryWordAfterIt) {
    const CommandLine line = parse({"ctl", "stop", "--all"}, true);
    EXPECT_EQ(CommandLine::Mode::Ctl, line.mode);
    EXPECT_EQ((std::vector<std::string>{"stop", "--all"}), line.ctlArgs);
    // A server may be named like an option of the program.
    EXPECT_EQ((std::vector<std::string>{"start", "--log-dir"}), parse({"ctl", "start", "--log-dir"}, false).ctlArgs);
}

TEST(CommandLineTest, WhatIsNotUnderstoodIsAUsageError) {
    const struct {
        std::vector<std::string> words;
        bool daemon;
        std::string error;
    } cases[] = {
        {{"--config-dir"}, true, "--config-dir needs a directory"},
        {{"--log-dir="}, false, "--log-dir needs a directory"},
        {{"--frobnicate"}, true, "unknown argument \"--frobnicate\""},
        {{"--headless", "--test-mail"}, false, "\"--test-mail\" cannot be combined with the mode given before it"},
        {{"--verbose"}, true, "--verbose goes with --test-mail or --test-alert only"},
    };
    for (const auto& c : cases) {
        const CommandLine line = parse(c.words, c.daemon);
        EXPECT_EQ(CommandLine::Mode::Usage, line.mode) << c.error;
        EXPECT_EQ(c.error, line.error);
    }
}

TEST(CommandLineTest, TheServiceCommandsOfTheDaemon) {
    const CommandLine install = parse({"service", "install", "--config-dir", "C:\\srv", "--log-dir=D:\\logs"}, true);
    EXPECT_EQ(CommandLine::Mode::Service, install.mode) << install.error;
    EXPECT_EQ("install", install.serviceAction);
    EXPECT_EQ("C:\\srv", install.configDir);
    EXPECT_EQ("D:\\logs", install.logDir);
    for (const char* action : {"uninstall", "start", "stop"})
        EXPECT_EQ(action, parse({"service", action}, true).serviceAction);
    EXPECT_EQ(CommandLine::Mode::RunService, parse({"--service", "--config-dir", "C:\\srv"}, true).mode);

    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"service"}, {"service", "restart"}, {"--headless", "service", "start"}}) {
        const CommandLine line = parse(wrong, true);
        EXPECT_EQ(CommandLine::Mode::Usage, line.mode) << wrong.size();
    }
    EXPECT_EQ("service needs install, uninstall, start or stop", parse({"service", "restart"}, true).error);
    // The window program has no service of its own: the words are its toolkit's.
    EXPECT_EQ(CommandLine::Mode::Window, parse({"service", "start"}, false).mode);
    EXPECT_NE(std::string::npos, CommandLine::usage("procwardd", true).find("service install"));
    EXPECT_EQ(std::string::npos, CommandLine::usage("procward", false).find("service install"));
}

TEST(ServiceCommandTest, WithoutTheWindowsServiceManagerEveryServiceCommandSaysSo) {
    TempDir dir;
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"service", "install"}, {"service", "install", "--config-dir", dir.path()},
          {"service", "start"}, {"service", "stop"}, {"service", "uninstall"}}) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        ASSERT_TRUE(out && err);
        EXPECT_EQ(1, ServiceCommand::run(parse(words, true), "procwardd", out, err)) << words.size();
        std::rewind(err);
        char text[512] = {};
        const std::size_t n = std::fread(text, 1, sizeof text - 1, err);
        EXPECT_NE(std::string::npos, std::string(text, n).find("run procwardd from a systemd unit instead"))
            << std::string(text, n);
        EXPECT_EQ(0, std::ftell(out));
        std::fclose(out);
        std::fclose(err);
    }
    // install took the directory before it found no service manager.
    AppDirectories::setConfigDirectory("");
}

TEST(MetricsListenTest, HostAndPortOrAReason) {
    std::string host, error;
    int port = 0;
    ASSERT_TRUE(MetricsServer::parseListen("127.0.0.1:9464", host, port, error)) << error;
    EXPECT_EQ("127.0.0.1", host);
    EXPECT_EQ(9464, port);
    ASSERT_TRUE(MetricsServer::parseListen("[::1]:65535", host, port, error)) << error;
    EXPECT_EQ("::1", host);
    EXPECT_EQ(65535, port);
    for (const char* bad : {"9464", ":9464", "127.0.0.1:", "127.0.0.1:94x4", "::1:9464", "[::1]9464", "host:123456"}) {
        error.clear();
        EXPECT_FALSE(MetricsServer::parseListen(bad, host, port, error)) << bad;
        EXPECT_NE(std::string::npos, error.find(bad)) << error;
    }
    EXPECT_FALSE(MetricsServer::parseListen("127.0.0.1:0", host, port, error));
    EXPECT_EQ("the port of \"127.0.0.1:0\" is not 1 to 65535", error);
}

TEST(MetricsListenTest, OnlyLoopbackAddressesCountAsLocal) {
    for (const char* local : {"127.0.0.1", "127.1.2.3", "::1", "localhost"})
        EXPECT_TRUE(MetricsServer::isLoopback(local)) << local;
    for (const char* remote : {"0.0.0.0", "10.0.0.1", "127.0.0", "127.0.0.256", "127.0.0.1.5", "::", "128.0.0.1",
                               "example.org", "127.example.org"})
        EXPECT_FALSE(MetricsServer::isLoopback(remote)) << remote;
}

class StatusTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        savedTz_ = tz ? tz : "";
        hadTz_ = tz != nullptr;
        // Eight hours east of UTC, without needing the zone database.
        ::setenv("TZ", "XST-8", 1);
        ::tzset();
    }
    void TearDown() override {
        if (hadTz_)
            ::setenv("TZ", savedTz_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

    static StatusSnapshot sample() {
        StatusSnapshot snapshot;
        ServerReport web;
        web.index = 1;
        web.name = "web \"eu\"\\1\nb";
        web.pid = 4242;
        web.listen = "127.0.0.1:8080";
        web.startTime = 1767225600;  // 2026-01-01T00:00:00Z
        web.state = ServerState::Running;
        web.restarts = 3;
        ServerReport flaky;
        flaky.index = 2;
        flaky.name = "flaky";
        flaky.state = ServerState::Backoff;
        flaky.nextAttempt = 1767225660;
        flaky.autoStart = true;
        snapshot.servers = {web, flaky};
        snapshot.running = 1;
        snapshot.passes = 7;
        return snapshot;
    }

private:
    std::string savedTz_;
    bool hadTz_ = false;
};

TEST_F(StatusTextTest, IsoTimesCarryTheZoneOffset) {
    EXPECT_EQ("2026-01-01T08:00:00+08:00", StatusReport::isoTime(1767225600));
    EXPECT_EQ("", StatusReport::isoTime(0));
    // Zones of the database, west and east, a half-hour offset, summer time,
    // and a local date that is a day before the UTC one.
    const std::pair<const char*, std::int64_t> cases[] = {
        {"Asia/Shanghai", 1767225600},     // 2026-01-01T00:00:00Z
        {"America/St_Johns", 1767225600},  // -03:30, the day before
        {"America/New_York", 1783036800},  // 2026-07-03T00:00:00Z, summer time
        {"Asia/Kolkata", 1767225600},
        {"UTC", 1767225600},
    };
    const char* expected[] = {
        "2026-01-01T08:00:00+08:00", "2025-12-31T20:30:00-03:30", "2026-07-02T20:00:00-04:00",
        "2026-01-01T05:30:00+05:30", "2026-01-01T00:00:00+00:00",
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ::setenv("TZ", cases[i].first, 1);
        ::tzset();
        EXPECT_EQ(expected[i], StatusReport::isoTime(cases[i].second)) << cases[i].first;
    }
}

TEST_F(StatusTextTest, JsonOfARunningAndABackedOffServer) {
    rapidjson::Document json;
    json.Parse(StatusReport::json(sample()).c_str());
    ASSERT_FALSE(json.HasParseError());
    EXPECT_EQ(1, json["running"].GetInt());
    EXPECT_EQ(2, json["total"].GetInt());
    EXPECT_EQ(7, json["checks"].GetInt());
    const auto& web = json["servers"][0];
    EXPECT_EQ(std::string("web \"eu\"\\1\nb"), web["name"].GetString());
    EXPECT_EQ(4242, web["pid"].GetInt());
    EXPECT_EQ(std::string("2026-01-01T08:00:00+08:00"), web["start_time"].GetString());
    EXPECT_EQ(std::string("running"), web["state"].GetString());
    EXPECT_FALSE(web.HasMember("next_attempt"));
    const auto& flaky = json["servers"][1];
    EXPECT_EQ(0, flaky["pid"].GetInt());
    EXPECT_TRUE(flaky["listen"].IsNull());
    EXPECT_TRUE(flaky["start_time"].IsNull());
    EXPECT_EQ(std::string("backoff"), flaky["state"].GetString());
    EXPECT_EQ(std::string("2026-01-01T08:01:00+08:00"), flaky["next_attempt"].GetString());
}

TEST_F(StatusTextTest, MetricsEscapeLabelValues) {
    StatusReport::Alerts alerts{5, 1, 2};
    StatusReport::Alerts::Channel ops;
    ops.name = "ops";
    ops.refused = 3;
    ops.lastRefusal = "errcode 310000: \"sign\" not match";
    ops.lastRefusalTime = 1767225600;
    alerts.channels.push_back(ops);
    const std::string text = StatusReport::metrics(sample(), alerts, "1.0");
    EXPECT_NE(std::string::npos, text.find("procward_server_up{name=\"web \\\"eu\\\"\\\\1\\nb\"} 1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_server_up{name=\"flaky\"} 0\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_server_restarts_total{name=\"flaky\"} 0\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_alerts_total{channel=\"mail\",result=\"sent\"} 5\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_alerts_total{channel=\"mail\",result=\"suppressed\"} 2\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_build_info{version=\"1.0\"} 1\n")) << text;
    // A webhook's refusals, and the service's own words as a label.
    EXPECT_NE(std::string::npos, text.find("procward_alerts_total{channel=\"ops\",result=\"refused\"} 3\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_webhook_last_refusal_time_seconds{channel=\"ops\",reason=\"errcode "
                                           "310000: \\\"sign\\\" not match\"} 1767225600\n"))
        << text;
    // Every line is a comment or a series: no raw line feed from the name.
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        EXPECT_TRUE(line.rfind("# ", 0) == 0 || line.rfind("procward_", 0) == 0) << line;
        start = end + 1;
    }
}

TEST_F(StatusTextTest, UpOnlyWhileRunningAndTheWayTheLastProcessEnded) {
    StatusSnapshot snapshot;
    // A process that is launched but not confirmed, and one that keeps failing.
    ServerReport warming;
    warming.index = 1;
    warming.name = "warming";
    warming.pid = 77;
    warming.state = ServerState::Starting;
    warming.lastExit = "was killed by signal 9 (SIGKILL)";
    warming.exit = LastExit{platform::ExitStatus{platform::ExitStatus::How::Signal, 9, true}, true, 1767225600,
                            std::chrono::milliseconds(1500), "", ""};
    ServerReport crasher;
    crasher.index = 2;
    crasher.name = "crasher";
    crasher.state = ServerState::Failing;
    crasher.lastExit = "exited with code 3";
    crasher.exit = LastExit{platform::ExitStatus{platform::ExitStatus::How::Code, 3, false}, true, 1767225600,
                            std::nullopt, "", ""};
    ServerReport found;
    found.index = 3;
    found.name = "found";
    found.exit = LastExit{};
    crasher.nextAttempt = 1767225660;
    snapshot.servers = {warming, crasher, found};
    const std::string text = StatusReport::metrics(snapshot, {}, "1.0");
    EXPECT_NE(std::string::npos, text.find("procward_server_up{name=\"warming\"} 0\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_server_pid{name=\"warming\"} 77\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_server_up{name=\"crasher\"} 0\n")) << text;

    rapidjson::Document json;
    json.Parse(StatusReport::json(snapshot).c_str());
    ASSERT_FALSE(json.HasParseError());
    EXPECT_EQ(std::string("starting"), json["servers"][0]["state"].GetString());
    const auto& killed = json["servers"][0]["last_exit"];
    ASSERT_TRUE(killed.IsObject());
    EXPECT_EQ(9, killed["signal"].GetInt());
    EXPECT_FALSE(killed.HasMember("code"));
    EXPECT_TRUE(killed["core_dumped"].GetBool());
    EXPECT_EQ(std::string("2026-01-01T08:00:00+08:00"), killed["at"].GetString());
    EXPECT_DOUBLE_EQ(1.5, killed["ran_seconds"].GetDouble());
    EXPECT_EQ(std::string("was killed by signal 9 (SIGKILL)"), json["servers"][0]["last_exit_reason"].GetString());
    EXPECT_TRUE(json["servers"][1]["last_exit"]["ran_seconds"].IsNull());
    EXPECT_EQ(std::string("unknown"), json["servers"][2]["last_exit"].GetString());
    EXPECT_NE(std::string::npos, text.find("procward_server_last_exit_code{name=\"warming\"} -9\n")) << text;
    EXPECT_NE(std::string::npos, text.find("procward_server_last_exit_code{name=\"crasher\"} 3\n"));
    EXPECT_EQ(std::string::npos, text.find("procward_server_last_exit_code{name=\"found\""));
    EXPECT_EQ(std::string("failing"), json["servers"][1]["state"].GetString());
    EXPECT_EQ(3, json["servers"][1]["last_exit"]["code"].GetInt());
    EXPECT_EQ(std::string("2026-01-01T08:01:00+08:00"), json["servers"][1]["next_attempt"].GetString());
    const std::string table = StatusReport::table(snapshot);
    EXPECT_NE(std::string::npos, table.find("failing"));
    EXPECT_NE(std::string::npos, table.find("exited with code 3; next 08:01:00")) << table;
}

TEST_F(StatusTextTest, TheTableFitsA120ColumnTerminalWithWideNamesAligned) {
    StatusSnapshot snapshot = sample();
    snapshot.servers[0].name = "网关服务一区";  // 12 columns
    snapshot.servers[1].name = "a-name-far-too-long-for-its-column-of-the-table";
    snapshot.servers[1].startError = std::string(300, 'x');
    snapshot.servers.push_back(snapshot.servers[0]);
    snapshot.servers[2].name = "区服区服区服区服区服";  // 20 columns: cut
    const std::string table = StatusReport::table(snapshot);
    std::istringstream lines(table);
    std::optional<std::size_t> stateColumn;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(StatusReport::displayWidth(line), 120u) << line;
        if (line.find("servers running") != std::string::npos) continue;
        // The state column starts at the same column on every row.
        for (const char* word : {"STATE", "starting", "failing", "stopped"}) {
            const auto at = line.find(std::string(" ") + word + " ");
            if (at == std::string::npos) continue;
            const std::size_t column = StatusReport::displayWidth(line.substr(0, at));
            if (!stateColumn) stateColumn = column;
            EXPECT_EQ(*stateColumn, column) << line;
        }
    }
    EXPECT_TRUE(stateColumn.has_value()) << table;
    EXPECT_NE(std::string::npos, table.find("网关服务一区")) << table;
    EXPECT_NE(std::string::npos, table.find("区服区服区服区…")) << table;
    EXPECT_EQ(std::string::npos, table.find("区服区服区服区服区服")) << table;
}

TEST_F(StatusTextTest, ANameThatIsNotUtf8IsShownWithReplacementCharactersEverywhere) {
    StatusSnapshot snapshot = sample();
    // Latin-1 bytes and a cut-off character, as a hand-edited list may hold them.
    snapshot.servers[1].name = "caf\xE9-\xE4\xB8";
    const std::string shown = "caf\xEF\xBF\xBD-\xEF\xBF\xBD";

    rapidjson::Document json;
    const std::string text = StatusReport::json(snapshot);
    json.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str());
    ASSERT_FALSE(json.HasParseError()) << text;
    EXPECT_EQ(shown, json["servers"][1]["name"].GetString());

    EXPECT_NE(std::string::npos, StatusReport::table(snapshot).find("\n  2 " + shown + " "))
        << StatusReport::table(snapshot);
    EXPECT_NE(std::string::npos,
              StatusReport::metrics(snapshot, {}, "1.0").find("procward_server_up{name=\"" + shown + "\"} 0\n"));
    // Names that are UTF-8 stay as they are.
    snapshot.servers[1].name = "网关服务";
    json.Parse<rapidjson::kParseValidateEncodingFlag>(StatusReport::json(snapshot).c_str());
    EXPECT_EQ(std::string("网关服务"), json["servers"][1]["name"].GetString());
}

std::tm date(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    return t;
}

TEST(LogRetentionTest, RemovesOnlyTheProgramsDailyFilesBeyondTheLimit) {
    TempDir dir;
    const std::vector<std::string> removed = {"procwardd_20260221.log", "procwardd_20251231.log"};
    const std::vector<std::string> kept = {
        "procwardd_20260222.log",  // exactly seven days before: kept
        "procwardd_20260301.log",  // today
        "procward_20200101.log",   // another program's
        "procwardd_20260230.log",  // not a date
        "procwardd_2026011.log",   // not the name's form
        "procwardd_20200101.txt",
    };
    for (const auto& name : removed) writeFile(dir.file(name), "x");
    for (const auto& name : kept) writeFile(dir.file(name), "x");
    std::filesystem::create_directory(dir.file("procwardd_20200102.log"));  // a directory stays

    EXPECT_EQ(2, LogRetention::removeOlderThan(dir.path(), "procwardd", 7, date(2026, 3, 1)));
    for (const auto& name : removed) EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
    for (const auto& name : kept) EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("procwardd_20200102.log")));
}

TEST(LogRetentionTest, ZeroKeepsEverythingAndAMissingDirectoryIsNoError) {
    TempDir dir;
    writeFile(dir.file("procwardd_19990101.log"), "x");
    EXPECT_EQ(0, LogRetention::removeOlderThan(dir.path(), "procwardd", 0, date(2026, 3, 1)));
    EXPECT_TRUE(std::filesystem::exists(dir.file("procwardd_19990101.log")));
    EXPECT_EQ(0, LogRetention::removeOlderThan(dir.file("missing"), "procwardd", 7, date(2026, 3, 1)));
}

}  // namespace
