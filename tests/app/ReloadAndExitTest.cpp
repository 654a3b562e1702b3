// procwardd reloading its files on SIGHUP and `ctl reload`, refusing what it
// cannot read, and saying in its last log line how it ended: a real daemon,
// real servers, real signals.
#include <signal.h>
#include <sys/wait.h>

#include <regex>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "tests/app/Installation.h"

namespace {

// name -> pid of the servers `ctl status --json` lists.
std::map<std::string, int> servers(const Installation& install) {
    std::map<std::string, int> pids;
    const Installation::Result result = install.ctl({"status", "--json"});
    rapidjson::Document json;
    json.Parse(result.output.c_str());
    if ((result.code != 0 && result.code != 3) || json.HasParseError() || !json.IsObject()) return pids;
    for (const auto& s : json["servers"].GetArray()) pids[s["name"].GetString()] = s["pid"].GetInt();
    return pids;
}

bool allRunning(const std::map<std::string, int>& pids, const std::vector<std::string>& names) {
    if (pids.size() != names.size()) return false;
    for (const std::string& name : names) {
        const auto found = pids.find(name);
        if (found == pids.end() || found->second <= 0) return false;
    }
    return true;
}

// The last line of the log, without its line end.
std::string lastLine(const std::string& log) {
    std::string text = log;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t start = text.rfind('\n');
    return start == std::string::npos ? text : text.substr(start + 1);
}

bool logHas(const Installation& install, const std::string& text) {
    return waitFor([&] { return install.log().find(text) != std::string::npos; }, 15000);
}

class ReloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        keep = install.entry("keep", "--role keep");
        install.writeServers("[" + keep + "," + install.entry("drop", "--role drop") + "]");
        install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
        install.start();
        ASSERT_TRUE(waitFor([&] { return allRunning(servers(install), {"keep", "drop"}); }, 15000)) << install.log();
        keepPid = servers(install)["keep"];
    }

    Installation install;
    std::string keep;
    int keepPid = 0;
    std::string list = install.dir.file("serverinfo.json");
};

TEST_F(ReloadTest, SighupAppliesTheChangedFilesAndRefusesAnUnreadableListWithItsPosition) {
    // A list with one entry kept, one gone and one new, and a new interval.
    install.writeServers("[" + keep + "," + install.entry("new", "--role new") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=2\n");
    const int dropPid = servers(install)["drop"];
    install.process->signal(SIGHUP);
    ASSERT_TRUE(waitFor([&] { return allRunning(servers(install), {"keep", "new"}); }, 15000)) << install.log();
    // The removed entry's process is stopped, as deleting it in the window would.
    EXPECT_TRUE(waitFor([&] { return !processAlive(dropPid); }, 15000)) << install.log();
    // The server that stays was neither stopped nor started again.
    EXPECT_EQ(keepPid, servers(install)["keep"]);
    EXPECT_TRUE(processAlive(keepPid));
    ASSERT_TRUE(logHas(install, "[INFO ]: Reloaded: added: new; removed: drop; unchanged: 1; checking every 2 s\r\n"))
        << install.log();
    EXPECT_NE(std::string::npos, install.log().find("[INFO ]: Reloading procward.ini and serverinfo.json (SIGHUP)\r\n"));
    const int newPid = servers(install)["new"];

    // A list with a syntax error: refused, with where it is wrong.
    install.writeServers("[\n" + keep + ",\n  {\"name\": \"x\",}\n]");
    install.process->signal(SIGHUP);
    const std::string reason = list + ": line 3, column 16: Missing a name for object member.";
    ASSERT_TRUE(logHas(install, "[ERROR]: Reload refused, the running configuration stays: " + reason + "\r\n"))
        << install.log();
    // The daemon said so on its standard error too, and supervises on as before.
    EXPECT_NE(std::string::npos, install.process->waitForOutput("reload refused: " + reason, 15000))
        << install.process->output();
    const std::map<std::string, int> after = servers(install);
    EXPECT_EQ(keepPid, after.at("keep"));
    EXPECT_EQ(newPid, after.at("new"));
    killAndWait(newPid);
    ASSERT_TRUE(waitFor([&] {
        const auto now = servers(install);
        return now.count("new") && now.at("new") > 0 && now.at("new") != newPid;
    }, 15000)) << install.log();
    EXPECT_NE(nullptr, install.process);
    EXPECT_EQ(-1, install.process->wait(0));
}

TEST_F(ReloadTest, CtlReloadAnswersWithTheOutcomeAndItsExitCode) {
    // A changed command line and an added entry: a dry run says so and
    // changes nothing.
    const int dropPid = servers(install)["drop"];
    install.writeServers("[" + keep + "," + install.entry("drop", "--role drop --changed") + "," +
                         install.entry("new", "--role new") + "]");
    const Installation::Result planned = install.ctl({"reload", "--dry-run"});
    EXPECT_EQ(0, planned.code) << planned.output;
    EXPECT_EQ("would apply: added: new; changed: drop (commandline); unchanged: 1\n", planned.output);
    EXPECT_EQ((std::map<std::string, int>{{"keep", keepPid}, {"drop", dropPid}}), servers(install));
    EXPECT_TRUE(processAlive(dropPid));
    // Applied: the old process of the changed entry is stopped before its
    // new definition starts, the added one starts, the kept one stays.
    const Installation::Result changed = install.ctl({"reload"});
    EXPECT_EQ(0, changed.code) << changed.output;
    EXPECT_EQ("reloaded: added: new; changed: drop (commandline); unchanged: 1; checking every 1 s\n", changed.output);
    ASSERT_TRUE(waitFor([&] { return allRunning(servers(install), {"keep", "drop", "new"}); }, 15000)) << install.log();
    EXPECT_FALSE(processAlive(dropPid));
    EXPECT_NE(dropPid, servers(install)["drop"]);
    EXPECT_EQ(keepPid, servers(install)["keep"]);
    EXPECT_NE(std::string::npos,
              install.log().find("drop changed (commandline); stopping it (pid=" + std::to_string(dropPid) + ")"))
        << install.log();

    install.writeServers("[" + keep + ", 7]");
    const Installation::Result applied = install.ctl({"reload"});
    EXPECT_EQ(0, applied.code) << applied.output;
    EXPECT_EQ("reloaded: removed: drop, new; unchanged: 1; checking every 1 s\n", applied.output);
    EXPECT_EQ((std::map<std::string, int>{{"keep", keepPid}}), servers(install));

    // A top-level object is no list: refused with the position.
    install.writeServers("{\"name\": \"keep\"}");
    const Installation::Result refused = install.ctl({"reload"});
    EXPECT_EQ(1, refused.code);
    EXPECT_NE(std::string::npos, refused.output.find("reload refused: " + list + ": line 1, column 1: ")) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("the running configuration stays")) << refused.output;
    // A list that has gone is refused too, rather than read as an empty one.
    std::filesystem::remove(list);
    EXPECT_EQ(1, install.ctl({"reload"}).code);
    // So is settings file that cannot be read.
    install.writeServers("[" + keep + "]");
    const std::string settings = install.dir.file("procward.ini");
    std::filesystem::remove(settings);
    std::filesystem::create_directory(settings);
    const Installation::Result unreadable = install.ctl({"reload"});
    EXPECT_EQ(1, unreadable.code);
    EXPECT_NE(std::string::npos, unreadable.output.find("reload refused: " + settings + " could not be read"))
        << unreadable.output;
    EXPECT_EQ((std::map<std::string, int>{{"keep", keepPid}}), servers(install));
    std::filesystem::remove(settings);
    EXPECT_EQ(0, install.ctl({"reload"}).code);
    EXPECT_NE(std::string::npos, install.log().find("[INFO ]: Reloading procward.ini and serverinfo.json (ctl)\r\n"));
}

// --- the ends

class ExitTest : public ::testing::Test {
protected:
    void SetUp() override {
        install.writeServers("[" + install.entry("web", "--role web") + "]");
        install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
        install.start();
        ASSERT_TRUE(waitFor([&] { return allRunning(servers(install), {"web"}); }, 15000));
    }
    // Waits for the daemon's end; its exit code.
    int ended() {
        const int status = install.process->wait(15000);
        install.process.reset();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    Installation install;
};

TEST_F(ExitTest, SigtermEndsWithItsNameAsTheLastLine) {
    install.process->signal(SIGTERM);
    EXPECT_EQ(0, ended());
    EXPECT_TRUE(std::regex_search(lastLine(install.log()), std::regex(R"(\[INFO \]: Procward exiting: SIGTERM$)")))
        << install.log();
}

TEST_F(ExitTest, SigintEndsWithItsNameAsTheLastLine) {
    install.process->signal(SIGINT);
    EXPECT_EQ(0, ended());
    EXPECT_TRUE(std::regex_search(lastLine(install.log()), std::regex(R"(: Procward exiting: SIGINT$)")))
        << install.log();
}

TEST_F(ExitTest, CtlShutdownEndsTheDaemonAndLeavesTheServersRunning) {
    const int web = servers(install)["web"];
    const Installation::Result result = install.ctl({"shutdown"});
    EXPECT_EQ(0, result.code) << result.output;
    EXPECT_EQ("Procward is ending; the servers keep running\n", result.output);
    EXPECT_EQ(0, ended());
    EXPECT_TRUE(processAlive(web));
    EXPECT_TRUE(std::regex_search(lastLine(install.log()), std::regex(R"(: Procward exiting: ctl$)"))) << install.log();
    EXPECT_EQ(3, install.ctl({"status"}).code);
}

// --- files that cannot be taken as they are, at the start

TEST(StartupFilesTest, AListNestedTooDeeplyToBeAListEndsTheStartWithItsPosition) {
    Installation install;
    // 200,000 arrays opened and never closed.
    install.writeServers(std::string(200000, '['));
    ChildProcess daemon(install.executable(), {}, "/");
    const int status = daemon.wait(60000);
    ASSERT_TRUE(WIFEXITED(status)) << daemon.output();
    EXPECT_EQ(1, WEXITSTATUS(status));
    const std::regex positioned("procwardd: the server list cannot be read: " + install.dir.file("serverinfo.json") +
                                R"(: line 1, column \d+: [^\n]+\n)");
    EXPECT_TRUE(std::regex_search(daemon.output(), positioned)) << daemon.output();
    EXPECT_TRUE(std::regex_search(lastLine(install.log()),
                                  std::regex(R"(Procward exiting: the server list cannot be read: .*line 1, column \d+)")))
        << install.log();
    EXPECT_TRUE(install.serverPids().empty());
}

TEST(StartupFilesTest, SettingsOutOfRangeAreUsedClampedWithAWarning) {
    Installation install;
    install.writeServers("[]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=99999999999\nSTOP_TIMEOUT=4294967297\n");
    install.start();
    EXPECT_NE(std::string::npos, install.process->output().find("checking every 86400 s"))
        << install.process->output();
    const std::string ini = install.dir.file("procward.ini");
    const std::string log = install.log();
    EXPECT_NE(std::string::npos,
              log.find("[WARNING]: CHECK_SVR_STATUS_INTERVAL=99999999999 in " + ini + " is above one day; 86400 is used"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("[WARNING]: STOP_TIMEOUT=4294967297 in " + ini + " is above one hour; 3600 is used"))
        << log;
}

}  // namespace
