// ctl against a running procwardd: a real daemon, real servers, the real
// command socket, and ctl run as the program it is.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "config/ListBackups.h"
#include "tests/app/Installation.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

struct Server {
    std::string name;
    int index = 0;
    int pid = 0;
    std::string listen;     // empty for null
    std::string startTime;  // empty for null
    bool autoStart = false;
    std::string state;
};

struct Status {
    int checks = 0;
    int running = 0;
    std::vector<Server> servers;
    const Server* named(const std::string& name) const {
        for (const Server& s : servers)
            if (s.name == name) return &s;
        return nullptr;
    }
};

class CtlTest : public ::testing::Test {
protected:
    void SetUp() override {
        webPort = freeTcpPort();
        install.writeServers("[" +
                             install.entry("web", "--listen 127.0.0.1:" + std::to_string(webPort) + " --role web") +
                             "," + install.entry("worker", "--role worker") + "]");
        install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=5\n");
        install.start();
        ASSERT_TRUE(waitFor([&] { return status().running == 2; }, 15000)) << install.process->output();
    }

    Status status() {
        const Installation::Result result = install.ctl({"status", "--json"});
        Status s;
        // 3: some server is not running; the status is there all the same.
        if (result.code != 0 && result.code != 3) {
            ADD_FAILURE() << "status failed: " << result.output;
            return s;
        }
        rapidjson::Document json;
        json.Parse(result.output.c_str());
        if (json.HasParseError() || !json.IsObject() || !json.HasMember("servers")) {
            ADD_FAILURE() << "not the status JSON: " << result.output;
            return s;
        }
        s.checks = json["checks"].GetInt();
        s.running = json["running"].GetInt();
        for (const auto& v : json["servers"].GetArray()) {
            Server server;
            server.name = v["name"].GetString();
            server.index = v["index"].GetInt();
            server.pid = v["pid"].GetInt();
            if (v["listen"].IsString()) server.listen = v["listen"].GetString();
            if (v["start_time"].IsString()) server.startTime = v["start_time"].GetString();
            EXPECT_TRUE(v["start_time"].IsString() || v["start_time"].IsNull());
            server.autoStart = v["auto_start"].GetBool();
            server.state = v["state"].GetString();
            s.servers.push_back(server);
        }
        return s;
    }

    // Waits until the daemon has run `count` more check passes.
    void waitForChecks(int count) {
        const int from = status().checks;
        ASSERT_TRUE(waitFor([&] { return status().checks >= from + count; }, 20000));
    }

    Installation install;
    int webPort = 0;
};

TEST_F(CtlTest, StatusDescribesEveryServer) {
    ASSERT_TRUE(waitFor([&] { return !status().named("web")->listen.empty(); }, 10000));
    const Status s = status();
    ASSERT_EQ(2u, s.servers.size());
    const Server& web = *s.named("web");
    EXPECT_EQ(1, web.index);
    EXPECT_EQ("running", web.state);
    EXPECT_TRUE(web.autoStart);
    EXPECT_EQ("127.0.0.1:" + std::to_string(webPort), web.listen);
    EXPECT_TRUE(processAlive(web.pid));
    const std::vector<int> pids = install.serverPids();
    EXPECT_NE(pids.end(), std::find(pids.begin(), pids.end(), web.pid));
    // ISO 8601 with the zone's offset.
    EXPECT_TRUE(std::regex_match(web.startTime, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
        << web.startTime;
    const Server& worker = *s.named("worker");
    EXPECT_EQ(2, worker.index);
    EXPECT_TRUE(worker.listen.empty());

    // The table for people.
    const Installation::Result table = install.ctl({"status"});
    EXPECT_EQ(0, table.code);
    EXPECT_NE(std::string::npos, table.output.find("2 of 2 servers running")) << table.output;
    EXPECT_TRUE(std::regex_search(table.output, std::regex("\\n +1 +web +running +" + std::to_string(web.pid) + " ")))
        << table.output;
}

TEST_F(CtlTest, AStoppedServerStaysDownAcrossTicksUntilStarted) {
    const int before = status().named("web")->pid;
    const Installation::Result stopped = install.ctl({"stop", "web"});
    EXPECT_EQ(0, stopped.code) << stopped.output;
    EXPECT_EQ("web stopped\n", stopped.output);
    // The answer comes once the process has gone.
    EXPECT_FALSE(processAlive(before));

    waitForChecks(3);
    Status s = status();
    EXPECT_EQ("stopped", s.named("web")->state);
    EXPECT_EQ(0, s.named("web")->pid);
    EXPECT_FALSE(s.named("web")->autoStart);
    EXPECT_TRUE(s.named("web")->startTime.empty());
    EXPECT_EQ("running", s.named("worker")->state);
    EXPECT_EQ(1u, install.serverPids().size());

    // The status exits as a service's does: 3 with a server down, and for
    // the one named, 0 for one that runs.
    EXPECT_EQ(3, install.ctl({"status"}).code);
    const Installation::Result down = install.ctl({"status", "web"});
    EXPECT_EQ(3, down.code) << down.output;
    EXPECT_EQ(0u, down.output.rfind("o web - stopped\n", 0)) << down.output;
    EXPECT_NE(std::string::npos, down.output.find("State: stopped; auto-start off (kept down)\n")) << down.output;
    EXPECT_NE(std::string::npos, down.output.find("Last exit: was killed by signal 15 (SIGTERM)")) << down.output;
    const Server& worker = *s.named("worker");
    const Installation::Result up = install.ctl({"status", "worker"});
    EXPECT_EQ(0, up.code) << up.output;
    EXPECT_EQ(0u, up.output.rfind("* worker - running (pid " + std::to_string(worker.pid) + ")\n", 0)) << up.output;
    EXPECT_NE(std::string::npos, up.output.find("Output: " + install.logDirectory() + "/servers/worker.log\n"))
        << up.output;
    EXPECT_EQ(1, install.ctl({"status", "nosuch"}).code);

    // Stopping it again changes nothing and says so.
    const Installation::Result again = install.ctl({"stop", "web"});
    EXPECT_EQ(0, again.code);
    EXPECT_NE(std::string::npos, again.output.find("not running")) << again.output;

    const Installation::Result started = install.ctl({"start", "web"});
    EXPECT_EQ(0, started.code) << started.output;
    // Launched, it is "starting" until it has stayed up for a check.
    EXPECT_TRUE(waitFor([&] { return status().named("web")->state == "running"; }, 15000));
    s = status();
    const Server& web = *s.named("web");
    EXPECT_TRUE(web.autoStart);
    EXPECT_TRUE(processAlive(web.pid));
    EXPECT_EQ("web started: pid=" + std::to_string(web.pid) + "\n", started.output);

    const std::string log = install.log();
    EXPECT_NE(std::string::npos, log.find("[INFO ]: Control command from uid 0: stop web\r\n")) << log;
    EXPECT_NE(std::string::npos, log.find("[INFO ]: Disabled autoStart mode for web\r\n"));
    EXPECT_NE(std::string::npos, log.find("[INFO ]: Control command from uid 0: start web\r\n"));
    EXPECT_NE(std::string::npos, log.find("[INFO ]: Control command from uid 0: status --json\r\n"));
}

TEST_F(CtlTest, RestartReplacesTheProcessAtOnce) {
    const int before = status().named("web")->pid;
    const Installation::Result restarted = install.ctl({"restart", "web"});
    EXPECT_EQ(0, restarted.code) << restarted.output;
    const Server web = *status().named("web");
    EXPECT_NE(before, web.pid);
    EXPECT_FALSE(processAlive(before));
    EXPECT_TRUE(processAlive(web.pid));
    EXPECT_NE("stopped", web.state);
    EXPECT_TRUE(web.autoStart);
    EXPECT_EQ("web restarted: pid=" + std::to_string(web.pid) + "\n", restarted.output);
    EXPECT_TRUE(waitFor([&] { return status().named("web")->state == "running"; }, 15000));
    // A restart is no outage: no "not working" alert.
    EXPECT_EQ(std::string::npos, install.log().find("web: service not working")) << install.log();
}

TEST_F(CtlTest, AllServersStopAndStartTogether) {
    const Installation::Result stopped = install.ctl({"stop", "--all"});
    EXPECT_EQ(0, stopped.code) << stopped.output;
    EXPECT_EQ("all 2 servers stopped\n", stopped.output);
    EXPECT_TRUE(install.serverPids().empty());
    waitForChecks(2);
    EXPECT_EQ(0, status().running);
    EXPECT_TRUE(install.serverPids().empty());

    const Installation::Result started = install.ctl({"start", "--all"});
    EXPECT_EQ(0, started.code) << started.output;
    EXPECT_TRUE(waitFor([&] { return status().running == 2; }, 15000));
    EXPECT_EQ(2u, install.serverPids().size());
}

TEST_F(CtlTest, BackupsListsTheKeptCopiesAndRestoreBringsOneBackAsAReload) {
    const std::string list = install.dir.file("serverinfo.json");
    const std::string copies = install.dir.file("serverinfo.json.bak");
    const Installation::Result none = install.ctl({"backups"});
    EXPECT_EQ(0, none.code) << none.output;
    EXPECT_EQ("no copies of " + list + " are kept yet (one is made at each change of the list; LIST_BACKUPS=20)\n",
              none.output);
    EXPECT_EQ(1, install.ctl({"restore", "1"}).code);

    // A copy from an hour ago: web as it is, worker gone, "extra" new.
    const std::string before = readFile(list);
    const int web = status().named("web")->pid, worker = status().named("worker")->pid;
    const std::string older = install.entry("web", "--listen 127.0.0.1:" + std::to_string(webPort) + " --role web");
    const std::string copy = "[" + older + "," + install.entry("extra", "--role extra") + "]";
    std::filesystem::create_directory(copies);
    const auto hourAgo = std::chrono::system_clock::now() - std::chrono::hours(1);
    writeFile(copies + "/" + ListBackups::nameAt(hourAgo), copy);
    const Installation::Result listed = install.ctl({"backups"});
    EXPECT_EQ(0, listed.code) << listed.output;
    EXPECT_NE(std::string::npos, listed.output.find("(LIST_BACKUPS=20):\n   N  TIME                 SERVERS  FILE\n"))
        << listed.output;
    EXPECT_NE(std::string::npos, listed.output.find("\n   1  " + ListBackups::localTimeText(hourAgo) + "        2  " +
                                                    ListBackups::nameAt(hourAgo) + "\n"))
        << listed.output;

    const Installation::Result restored = install.ctl({"restore", "1"});
    EXPECT_EQ(0, restored.code) << restored.output;
    EXPECT_EQ("restored copy 1: added: extra; removed: worker; unchanged: 1\n", restored.output);
    EXPECT_EQ(copy, readFile(list));
    ASSERT_TRUE(waitFor([&] { return status().running == 2 && status().named("extra"); }, 15000));
    EXPECT_EQ(web, status().named("web")->pid);
    EXPECT_EQ(nullptr, status().named("worker"));
    EXPECT_FALSE(processAlive(worker));

    // The list it replaced is now the newest copy: restoring that undoes it.
    const Installation::Result two = install.ctl({"backups"});
    EXPECT_NE(std::string::npos, two.output.find("\n   2  " + ListBackups::localTimeText(hourAgo))) << two.output;
    const Installation::Result undone = install.ctl({"restore", "1"});
    EXPECT_EQ(0, undone.code) << undone.output;
    EXPECT_EQ("restored copy 1: added: worker; removed: extra; unchanged: 1\n", undone.output);
    EXPECT_EQ(before, readFile(list));
    ASSERT_TRUE(waitFor([&] { return status().running == 2 && status().named("worker"); }, 15000));

    const Installation::Result missing = install.ctl({"restore", "9"});
    EXPECT_EQ(1, missing.code);
    EXPECT_EQ("restore refused: no copy 9 of " + list + " (there are 3)\nthe list stays as it was\n", missing.output);
    const Installation::Result wrong = install.ctl({"restore", "latest"});
    EXPECT_EQ(1, wrong.code);
    EXPECT_EQ(0u, wrong.output.find("ctl: restore needs the number of one copy")) << wrong.output;
    EXPECT_NE(std::string::npos,
              install.log().find("Control command from uid " + std::to_string(::getuid()) + ": restore 9"))
        << install.log();
}

TEST_F(CtlTest, AnUnknownNameOrCommandFailsWithOneLine) {
    const Installation::Result unknown = install.ctl({"stop", "nosuch"});
    EXPECT_EQ(1, unknown.code);
    EXPECT_EQ("no server is named \"nosuch\"\n", unknown.output);

    const Installation::Result bad = install.ctl({"frobnicate"});
    EXPECT_EQ(1, bad.code);
    EXPECT_NE(std::string::npos, bad.output.find("unknown command \"frobnicate\"")) << bad.output;

    const Installation::Result missing = install.ctl({"start"});
    EXPECT_EQ(1, missing.code);
    EXPECT_NE(std::string::npos, missing.output.find("needs the name of a server")) << missing.output;
    EXPECT_EQ(2, status().running);
}

TEST_F(CtlTest, AnotherUserIsRefused) {
    const int before = status().named("web")->pid;
    // nobody with the right to pass file permissions reaches the socket:
    // the supervisor's own look at the peer's uid refuses it.
    const Installation::Result refused = install.ctl({"stop", "web"}, asNobody(true));
    EXPECT_EQ(1, refused.code) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("refused: uid 65534 may not control this Procward"))
        << refused.output;
    // Without that right it does not even get to the socket.
    const Installation::Result denied = install.ctl({"status"}, asNobody(false));
    EXPECT_EQ(1, denied.code) << denied.output;
    EXPECT_NE(std::string::npos, denied.output.find("Permission denied")) << denied.output;

    EXPECT_TRUE(processAlive(before));
    EXPECT_EQ(before, status().named("web")->pid);
    EXPECT_TRUE(std::regex_search(install.log(),
                                  std::regex(R"(\[WARNING\]: Control command from uid 65534 \(pid \d+\) refused)")))
        << install.log();
}

TEST_F(CtlTest, TheSocketIsPrivate) {
    const std::string socket = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/procward/ctl.sock";
    struct stat st {};
    ASSERT_EQ(0, ::stat(socket.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, ::stat((std::string(std::getenv("XDG_RUNTIME_DIR")) + "/procward").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);

    // The daemon removes it when it ends.
    install.process->signal(SIGTERM);
    ASSERT_NE(-1, install.process->wait(15000));
    EXPECT_NE(0, ::access(socket.c_str(), F_OK));
    const Installation::Result none = install.ctl({"status"});
    EXPECT_EQ(3, none.code);
    EXPECT_NE(std::string::npos, none.output.find("no Procward is running")) << none.output;
}

TEST_F(CtlTest, AStatusIsAnsweredWhileAStopIsUnderWay) {
    // A server that ignores SIGTERM: its stop waits for the time-out.
    install.process->signal(SIGTERM);
    install.process->wait(15000);
    install.process.reset();
    for (int pid : install.serverPids()) killAndWait(pid);
    install.writeServers("[" + install.entry("stubborn", "--ignore-term --role stubborn") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=600\n");
    install.start();
    ASSERT_TRUE(waitFor([&] { return status().running == 1; }, 15000));
    const int pid = status().named("stubborn")->pid;

    ChildProcess stop(install.executable(), {"ctl", "stop", "stubborn"}, "/");
    ASSERT_TRUE(waitFor([&] { return status().named("stubborn")->state == "stopping"; }, 15000));
    // The stop is still waiting; the process ends from outside.
    EXPECT_EQ(-1, stop.wait(0));
    killAndWait(pid);
    const int code = stop.wait(30000);
    ASSERT_TRUE(WIFEXITED(code)) << stop.output();
    EXPECT_EQ(0, WEXITSTATUS(code));
    EXPECT_EQ("stubborn stopped\n", stop.output());
    EXPECT_EQ("stopped", status().named("stubborn")->state);
}

TEST(CtlWithoutInstanceTest, NoInstanceGivesExitThree) {
    TempDir empty;
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", empty.path());
    Installation install;
    const Installation::Result result = install.ctl({"status", "--json"});
    EXPECT_EQ(3, result.code);
    EXPECT_NE(std::string::npos, result.output.find(empty.path() + "/procward/ctl.sock")) << result.output;
}

TEST(CtlWithoutInstanceTest, ASocketLeftBehindIsReplaced) {
    // What a killed copy leaves: a socket file nobody listens on.
    const std::string directory = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/procward";
    ::mkdir(directory.c_str(), 0700);
    const std::string path = directory + "/ctl.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ::close(fd);
    ASSERT_EQ(0, ::access(path.c_str(), F_OK));
    EXPECT_EQ(3, Installation().ctl({"status"}).code);

    Installation install;
    install.writeServers("[]");
    install.start();
    const Installation::Result result = install.ctl({"status"});
    EXPECT_EQ(0, result.code) << result.output << install.log();
    EXPECT_NE(std::string::npos, result.output.find("0 of 0 servers running")) << result.output;
}

}  // namespace

namespace {

TEST(CtlBackoffTest, AServerThatKeepsFailingShowsBackoffWithItsNextAttemptUntilStarted) {
    Installation install;
    const std::string crash = install.dir.file("crash-now");
    writeFile(crash, "");
    // While the file exists, every start of "flaky" ends at once.
    install.writeServers("[" + install.entry("flaky", "--exit-if " + crash) + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nRESTART_BACKOFF_MAX=300\n");
    install.start();

    rapidjson::Document json;
    auto flaky = [&]() -> const rapidjson::Value* {
        const Installation::Result result = install.ctl({"status", "--json"});
        json.Parse(result.output.c_str());
        if ((result.code != 0 && result.code != 3) || json.HasParseError() || !json.IsObject()) return nullptr;
        return &json["servers"][0];
    };
    ASSERT_TRUE(waitFor(
        [&] {
            const rapidjson::Value* s = flaky();
            return s && std::string((*s)["state"].GetString()) == "backoff";
        },
        20000))
        << install.log();
    const rapidjson::Value& s = *flaky();
    EXPECT_EQ(0, s["pid"].GetInt());
    ASSERT_TRUE(s.HasMember("next_attempt") && s["next_attempt"].IsString());
    const std::string next = s["next_attempt"].GetString();
    EXPECT_TRUE(std::regex_match(next, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)"))) << next;
    const Installation::Result table = install.ctl({"status"});
    EXPECT_NE(std::string::npos, table.output.find("backoff")) << table.output;
    EXPECT_NE(std::string::npos, table.output.find("next " + next.substr(11, 8))) << table.output;

    // start tries again at once and forgets the back-off.
    std::filesystem::remove(crash);
    const Installation::Result started = install.ctl({"start", "flaky"});
    EXPECT_EQ(0, started.code) << started.output;
    // Starting until its first confirmation, then running.
    const rapidjson::Value* after = nullptr;
    ASSERT_TRUE(waitFor(
        [&] {
            after = flaky();
            return after && std::string((*after)["state"].GetString()) == "running";
        },
        10000))
        << install.log();
    EXPECT_FALSE(after->HasMember("next_attempt"));
    EXPECT_TRUE(processAlive((*after)["pid"].GetInt()));
}

}  // namespace

namespace {

TEST(CtlHealthTest, StatusAndCheckShowWhatTheHealthRuleFinds) {
    Installation install;
    const int port = freeTcpPort();
    const std::string statusFile = install.dir.file("answer");
    writeFile(statusFile, "503\n");
    std::string web = install.entry("web", "--http 127.0.0.1:" + std::to_string(port) + " --listen 127.0.0.1:" +
                                               std::to_string(freeTcpPort()) + " --http-status-file " + statusFile);
    web.pop_back();
    web += R"(,"health":{"http":"http://127.0.0.1:)" + std::to_string(port) +
           R"(/healthz","interval":1,"timeout":2,"failures":2,"grace":0,"on_failure":"alert"}})";
    install.writeServers("[" + web + "," + install.entry("plain", "--role plain") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    install.start();

    rapidjson::Document json;
    auto server = [&](int i) -> const rapidjson::Value* {
        const Installation::Result result = install.ctl({"status", "--json"});
        json.Parse(result.output.c_str());
        if ((result.code != 0 && result.code != 3) || json.HasParseError() || !json.IsObject()) return nullptr;
        return &json["servers"][i];
    };
    ASSERT_TRUE(waitFor(
        [&] {
            const rapidjson::Value* s = server(0);
            return s && std::string((*s)["health"].GetString()) == "unhealthy";
        },
        20000))
        << install.log();
    EXPECT_EQ(std::string("HTTP 503 from /healthz"), (*server(0))["health_reason"].GetString());
    EXPECT_EQ(std::string("-"), (*server(1))["health"].GetString());
    EXPECT_FALSE(server(1)->HasMember("health_reason"));
    const Installation::Result table = install.ctl({"status"});
    EXPECT_TRUE(std::regex_search(table.output, std::regex(" unhealthy +HTTP 503 from /healthz\n"))) << table.output;

    const Installation::Result failing = install.ctl({"check", "web"});
    EXPECT_EQ(1, failing.code);
    EXPECT_NE(std::string::npos, failing.output.find("web: unhealthy: HTTP 503 from /healthz")) << failing.output;
    const Installation::Result none = install.ctl({"check", "plain"});
    EXPECT_EQ(1, none.code);
    EXPECT_NE(std::string::npos, none.output.find("plain has no health rule")) << none.output;

    writeFile(statusFile, "200\n");
    const Installation::Result passing = install.ctl({"check", "web"});
    EXPECT_EQ(0, passing.code) << passing.output;
    EXPECT_NE(std::string::npos, passing.output.find("web: healthy: HTTP 200 from /healthz")) << passing.output;
    ASSERT_TRUE(waitFor(
        [&] {
            const rapidjson::Value* s = server(0);
            return s && std::string((*s)["health"].GetString()) == "healthy";
        },
        20000))
        << install.log();
    // Left running throughout: the rule only alerts.
    EXPECT_EQ(0, (*server(0))["restarts"].GetInt());
    EXPECT_EQ(1, (*server(0))["launches"].GetInt());
    EXPECT_NE(std::string::npos, install.log().find("web has recovered: HTTP 200 from /healthz")) << install.log();
}

}  // namespace

namespace {

// What `ctl list --json` says of the entry called `name`; null when absent.
std::string listedEntry(const Installation& install, const std::string& name) {
    const Installation::Result list = install.ctl({"list", "--json"});
    rapidjson::Document json;
    json.Parse(list.output.c_str());
    if (list.code != 0 || !json.IsArray()) return "ctl list failed: " + list.output;
    for (const auto& entry : json.GetArray())
        if (entry.IsObject() && entry.HasMember("name") && entry["name"].IsString() &&
            name == entry["name"].GetString()) {
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
            entry.Accept(writer);
            return buffer.GetString();
        }
    return "null";
}

}  // namespace

TEST_F(CtlTest, TheListIsChangedFromTheShellAndAppliedAsAReloadAppliesIt) {
    const std::string server = install.testServer();
    // Keys the window does not know stay in the file through every change.
    install.writeServers("[" + install.entry("web", "--listen 127.0.0.1:" + std::to_string(webPort) + " --role web") +
                         ",{\"name\":\"worker\",\"processname\":\"procward-testserver\",\"commandline\":\"" + server +
                         " --role worker\",\"x-owner\":\"team 7\"}]");

    // add, with the keys as options and words.
    const Installation::Result added =
        install.ctl({"add", "--name", "extra", "--processname", "procward-testserver", "--commandline",
                     server + " --role extra", "stop_timeout:=3", "cwd=/tmp"});
    EXPECT_EQ(0, added.code) << added.output;
    EXPECT_NE(std::string::npos, added.output.find("added \"extra\"")) << added.output;
    EXPECT_NE(std::string::npos, added.output.find("reloaded: ")) << added.output;
    ASSERT_TRUE(waitFor([&] { return status().running == 3; }, 20000)) << install.process->output();
    EXPECT_EQ(R"({"name":"extra","processname":"procward-testserver","commandline":")" + server +
                  R"( --role extra","stop_timeout":3,"cwd":"/tmp"})",
              listedEntry(install, "extra"));

    // Bad input is refused with its reason, and the file stays as it was.
    const std::string before = readFile(install.dir.file("serverinfo.json"));
    const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
        {{"add", "--name", "web", "--processname", "p", "--commandline", "c"}, "already has an entry named \"web\""},
        {{"add", "--name", "x", "--processname", "p"}, "\"commandline\" is missing"},
        {{"add", R"({"name":"x","processname":"p","commandline":"c","stop_signal":"PIPE"})"}, "stop_signal"},
        {{"add", R"({"name":"x","processname":"p","commandline":"c","cwdd":"/"})"}, "unknown key \"cwdd\""},
        {{"add", R"({"name":"x",)"}, "not a JSON object"},
        {{"add", "--name", "x", "stop_timeout:=soon"}, "needs a JSON value"},
        {{"set", "worker", "stop_timeout:=-1"}, "stop_timeout"},
        {{"set", "worker", "commandline:=null"}, "cannot be removed"},
        {{"set", "worker", "name=web"}, "already has an entry named \"web\""},
        {{"set", "nosuch", "cwd=/"}, "no entry is named \"nosuch\""},
        {{"set", "worker"}, "at least one KEY=VALUE"},
        {{"remove", "nosuch"}, "no entry is named \"nosuch\""},
    };
    for (const auto& [args, reason] : refusals) {
        const Installation::Result refused = install.ctl(args);
        EXPECT_EQ(1, refused.code) << args[0] << " " << (args.size() > 1 ? args[1] : "") << ": " << refused.output;
        EXPECT_NE(std::string::npos, refused.output.find(reason)) << refused.output;
    }
    EXPECT_EQ(before, readFile(install.dir.file("serverinfo.json")));

    // set: a changed command line restarts the server; the unknown key stays.
    const int workerPid = status().named("worker")->pid;
    const Installation::Result set =
        install.ctl({"set", "worker", "commandline=" + server + " --role worker2", "env:={\"A\":\"1\"}"});
    EXPECT_EQ(0, set.code) << set.output;
    EXPECT_NE(std::string::npos, set.output.find("changed \"worker\"")) << set.output;
    ASSERT_TRUE(waitFor(
        [&] {
            const Server* worker = status().named("worker");
            return worker && worker->pid > 0 && worker->pid != workerPid && worker->state == "running";
        },
        20000))
        << install.process->output();
    EXPECT_EQ(R"({"name":"worker","processname":"procward-testserver","commandline":")" + server +
                  R"( --role worker2","x-owner":"team 7","env":{"A":"1"}})",
              listedEntry(install, "worker"));
    // A key removed.
    EXPECT_EQ(0, install.ctl({"set", "worker", "env:=null"}).code);
    EXPECT_EQ(std::string::npos, listedEntry(install, "worker").find("env"));

    // remove stops the server and takes it out of the list.
    const int extraPid = status().named("extra")->pid;
    const Installation::Result removed = install.ctl({"remove", "extra"});
    EXPECT_EQ(0, removed.code) << removed.output;
    EXPECT_TRUE(waitFor([&] { return !processAlive(extraPid); }, 20000));
    EXPECT_EQ("null", listedEntry(install, "extra"));
    EXPECT_EQ(nullptr, status().named("extra"));
    EXPECT_EQ(2u, status().servers.size());
    const Installation::Result table = install.ctl({"list"});
    EXPECT_NE(std::string::npos, table.output.find("  2 worker  procward-testserver  " + server + " --role worker2"))
        << table.output;
}
