// Real server programs under a real procwardd: servers that rewrite their
// argument lists (redis-server, nginx), fork workers (nginx), daemonize
// (nginx with "daemon on"), crash in a loop; procwardd itself killed or
// stopped and started again. A case whose program is missing is skipped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <httplib.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "platform/Text.h"
#include "platform/linux/LinuxProcessTable.h"
#include "tests/app/Installation.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

struct Shown {
    int pid = 0;
    std::string state;
    std::string lastExit;
    bool autoStart = false;
};

std::string jsonText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// One entry of serverinfo.json; `keys` are further members, already JSON.
std::string entryOf(const std::string& name, const std::string& processname, const std::string& commandline,
                    const std::string& keys = "") {
    return "{\"name\":\"" + jsonText(name) + "\",\"processname\":\"" + jsonText(processname) +
           "\",\"commandline\":\"" + jsonText(commandline) + "\"" + (keys.empty() ? "" : "," + keys) + "}";
}

// Processes whose argument list holds `text`.
int processesWith(const std::string& text) {
    int n = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string words = readFile(entry.path().string() + "/cmdline");
        for (char& c : words)
            if (c == '\0') c = ' ';
        if (words.find(text) != std::string::npos && processAlive(std::stoi(name))) ++n;
    }
    return n;
}

int liveMembers(int group) { return group > 0 ? platform::LinuxProcessTable::groupMembers(group) : 0; }

// One request and its answer over a plain TCP connection; empty when none.
std::string exchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) answer.assign(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

bool httpAnswers(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(2, 0);
    const auto response = client.Get("/");
    return response && response->status == 200 && response->body == "ok\n";
}

class RealServersTest : public ::testing::Test {
protected:
    void TearDown() override {
        // The supervisor first, or it would start again what is ended here.
        if (install.process) {
            install.process->signal(SIGTERM);
            install.process->wait(15000);
            install.process.reset();
        }
        for (int group : groups)
            if (group > 0) ::kill(-group, SIGKILL);
        for (int group : groups) waitFor([&] { return liveMembers(group) == 0; });
    }

    std::map<std::string, Shown> status() {
        std::map<std::string, Shown> shown;
        const Installation::Result result = install.ctl({"status", "--json"});
        rapidjson::Document json;
        json.Parse(result.output.c_str());
        if ((result.code != 0 && result.code != 3) || json.HasParseError() || !json.IsObject()) return shown;
        for (const auto& server : json["servers"].GetArray()) {
            Shown s;
            s.pid = server["pid"].GetInt();
            s.state = server["state"].GetString();
            s.autoStart = server["auto_start"].GetBool();
            if (server.HasMember("last_exit_reason") && server["last_exit_reason"].IsString()) s.lastExit = server["last_exit_reason"].GetString();
            shown[server["name"].GetString()] = s;
        }
        return shown;
    }
    Shown of(const std::string& name) { return status()[name]; }

    int checks() {
        const Installation::Result result = install.ctl({"status", "--json"});
        rapidjson::Document json;
        json.Parse(result.output.c_str());
        return (result.code == 0 || result.code == 3) && !json.HasParseError() && json.IsObject()
                   ? json["checks"].GetInt()
                   : -1;
    }
    // Waits until the supervisor has run `count` more check passes.
    void waitForChecks(int count) {
        const int from = checks();
        ASSERT_TRUE(waitFor([&] { return checks() >= from + count; }, 20000));
    }

    // Waits until `name` runs, and returns its process ID (0 if it does not).
    int running(const std::string& name, int ms = 20000) {
        int pid = 0;
        waitFor([&] {
            const Shown s = of(name);
            pid = s.state == "running" ? s.pid : 0;
            return pid > 0;
        }, ms);
        if (pid > 0) groups.push_back(pid);
        return pid;
    }

    // Ends procwardd with `signal` and starts it again on the same files.
    void restartSupervisor(int signal) {
        install.process->signal(signal);
        const int status = install.process->wait(15000);
        ASSERT_NE(-1, status);
        install.start();
    }

    // A stop through ctl, which must succeed.
    void ctlStop(const std::string& name) {
        const Installation::Result result = install.ctl({"stop", name});
        EXPECT_EQ(0, result.code) << result.output;
    }

    static bool have(const std::string& program) { return ::access(program.c_str(), X_OK) == 0; }

    // A configuration for nginx in the test's directory, listening on `port`.
    std::string nginxConfig(int port, bool daemon) {
        const std::string d = install.dir.path();
        writeFile(install.dir.file("nginx.conf"),
                  std::string(daemon ? "daemon on;\n" : "daemon off;\n") +
                      "master_process on;\nworker_processes 2;\n"
                      "pid " + d + "/nginx.pid;\nerror_log " + d + "/nginx-error.log;\n"
                      "events { worker_connections 64; }\n"
                      "http {\n  access_log off;\n"
                      "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d + "/proxy;\n"
                      "  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n"
                      "  scgi_temp_path " + d + "/scgi;\n"
                      "  server { listen 127.0.0.1:" + std::to_string(port) +
                      "; location / { return 200 \"ok\\n\"; } }\n}\n");
        return "/usr/sbin/nginx -p " + d + "/ -c " + d + "/nginx.conf -e " + d + "/nginx-error.log";
    }

    std::size_t count(const std::string& what) {
        const std::string text = install.log();
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    Installation install;
    std::vector<int> groups;
};

TEST_F(RealServersTest, AServerThatRewritesItsArgumentsIsTakenOverAfterTheSupervisorIsKilledOrStopped) {
    install.writeServers("[" + install.entry("titled", "--set-title renamed-by-itself") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    install.start();
    const int pid = running("titled");
    ASSERT_GT(pid, 0) << install.log();
    ASSERT_TRUE(waitFor([&] { return processesWith("renamed-by-itself") == 1; }));
    for (int signal : {SIGKILL, SIGTERM}) {
        restartSupervisor(signal);
        EXPECT_EQ(pid, running("titled")) << "after signal " << signal << "\n" << install.log();
        // Two checks later there is still only the one.
        waitForChecks(2);
        EXPECT_EQ(1u, install.serverPids().size()) << signal;
        EXPECT_EQ(pid, of("titled").pid);
    }
    EXPECT_EQ(1u, count("titled started successfully"));
    EXPECT_EQ(2u, count("titled is still running (pid=" + std::to_string(pid) + "); taken over from the previous run"));
    ctlStop("titled");
    EXPECT_FALSE(processAlive(pid));
    EXPECT_EQ("stopped", of("titled").state);
}

TEST_F(RealServersTest, RedisIsTakenOverAfterTheSupervisorIsKilledOrStoppedAndItsStopIsReal) {
    if (!have("/usr/bin/redis-server")) GTEST_SKIP() << "redis-server is not installed (apt install redis-server)";
    const int port = freeTcpPort();
    const std::string dir = install.dir.path();
    install.writeServers("[" +
                         entryOf("redis", "redis-server",
                                 "/usr/bin/redis-server --port " + std::to_string(port) +
                                     " --bind 127.0.0.1 --save '' --appendonly no --daemonize no --dir " + dir) +
                         "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    install.start();
    const int pid = running("redis");
    ASSERT_GT(pid, 0) << install.log();
    ASSERT_TRUE(waitFor([&] { return exchange(port, "PING\r\n") == "+PONG\r\n"; }));
    for (int signal : {SIGKILL, SIGTERM}) {
        restartSupervisor(signal);
        EXPECT_EQ(pid, running("redis")) << install.log();
        waitForChecks(2);
        EXPECT_EQ(pid, of("redis").pid);
        EXPECT_EQ(1, processesWith(":" + std::to_string(port))) << "a second redis was started";
    }
    EXPECT_EQ(1u, count("redis started successfully"));
    ctlStop("redis");
    EXPECT_FALSE(processAlive(pid));
    EXPECT_EQ("", exchange(port, "PING\r\n"));
    EXPECT_EQ(0, processesWith(":" + std::to_string(port)));
}

TEST_F(RealServersTest, WithoutTheStateFileRedisByItsPidfileAndAScriptServerAreFoundAndNotStartedAgain) {
    if (!have("/usr/bin/redis-server") || !have("/usr/bin/redis-cli") || !have("/usr/bin/python3"))
        GTEST_SKIP() << "needs redis-server, redis-cli and python3 (apt install redis-server python3)";
    const int port = freeTcpPort();
    const int webPort = freeTcpPort();
    const std::string dir = install.dir.path();
    // A script started through its #! line: the process is python3's, its
    // first argument the script, as gunicorn's is.
    const std::string script = install.dir.file("web.py");
    writeFile(script,
              "#!/usr/bin/python3\nimport http.server, sys\n"
              "http.server.HTTPServer(('127.0.0.1', int(sys.argv[2])), http.server.SimpleHTTPRequestHandler)"
              ".serve_forever()\n");
    ::chmod(script.c_str(), 0755);
    const std::string ping = "/usr/bin/redis-cli -p " + std::to_string(port) + " ping";
    install.writeServers(
        "[" +
        entryOf("redis", "redis-server",
                "/usr/bin/redis-server --port " + std::to_string(port) +
                    " --bind 127.0.0.1 --save '' --appendonly no "
                    "--daemonize no --pidfile " +
                    dir + "/redis.pid --dir " + dir,
                "\"pidfile\":\"" + dir + "/redis.pid\",\"health\":{\"exec\":\"" + ping + "\",\"timeout\":5}") +
        "," + entryOf("web", "web.py", script + " --port " + std::to_string(webPort)) + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    install.start();
    const int redis = running("redis");
    const int web = running("web");
    ASSERT_GT(redis, 0) << install.log();
    ASSERT_GT(web, 0) << install.log();
    ASSERT_TRUE(waitFor([&] { return exchange(port, "PING\r\n") == "+PONG\r\n"; }));
    waitForChecks(3);

    // procwardd killed and its state file lost: both are found again.
    install.process->signal(SIGKILL);
    ASSERT_NE(-1, install.process->wait(15000));
    ASSERT_TRUE(std::filesystem::remove(install.dir.file("procward.state")));
    install.start();
    EXPECT_EQ(redis, running("redis")) << install.log();
    EXPECT_EQ(web, running("web")) << install.log();
    waitForChecks(3);
    EXPECT_EQ(redis, of("redis").pid);
    EXPECT_EQ(web, of("web").pid);
    EXPECT_EQ(1, processesWith(":" + std::to_string(port))) << "a second redis was started";
    EXPECT_EQ(1, processesWith("web.py --port " + std::to_string(webPort))) << "a second script server was started";
    EXPECT_EQ(1u, count("redis started successfully"));
    EXPECT_EQ(1u, count("web started successfully"));

    // The health probe's answers never reach the server's own output.
    const std::string output = readFile(install.logDirectory() + "/servers/redis.log");
    EXPECT_NE(std::string::npos, output.find("Ready to accept connections")) << output;
    EXPECT_EQ(std::string::npos, output.find("PONG")) << output;
}

TEST_F(RealServersTest, EachServerIsStoppedWithItsOwnSignalAndTimeOutAndCtlSignalReachesIt) {
    // Both ignore SIGTERM; the global time-out would keep a stop waiting a
    // minute.
    const std::string ignoring = install.entry("int", "--role int --ignore-term");
    const std::string slow = install.entry("slow", "--role slow --ignore-term");
    install.writeServers("[" + ignoring.substr(0, ignoring.size() - 1) + R"(,"stop_signal":"INT"},)" +
                         slow.substr(0, slow.size() - 1) + R"(,"stop_timeout":1}])");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=60\n");
    install.start();
    const int interrupted = running("int");
    const int killed = running("slow");
    ASSERT_GT(interrupted, 0) << install.log();
    ASSERT_GT(killed, 0) << install.log();

    // ctl signal: the process gets it, ends by it, and is started again.
    const Installation::Result sent = install.ctl({"signal", "int", "SIGINT"});
    EXPECT_EQ(0, sent.code) << sent.output;
    EXPECT_EQ("sent SIGINT to int (pid " + std::to_string(interrupted) + ")\n", sent.output);
    int again = 0;
    ASSERT_TRUE(waitFor(
        [&] {
            const Shown s = of("int");
            again = s.state == "running" && s.pid != interrupted ? s.pid : 0;
            return again > 0;
        },
        20000))
        << install.log();
    groups.push_back(again);
    EXPECT_EQ("was killed by signal 2 (SIGINT)", of("int").lastExit);
    EXPECT_EQ(1, install.ctl({"signal", "int", "WINCH"}).code);

    ctlStop("int");
    EXPECT_FALSE(processAlive(again));
    EXPECT_EQ("was killed by signal 2 (SIGINT)", of("int").lastExit);
    ctlStop("slow");
    EXPECT_FALSE(processAlive(killed));
    EXPECT_EQ("was killed by signal 9 (SIGKILL)", of("slow").lastExit);
}

TEST_F(RealServersTest, AWrapperWhoseChildListensShowsTheChildsAddress) {
    const int port = freeTcpPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    // The shell stays the server's process (a command follows), the test
    // server its child.
    install.writeServers(
        "[" + entryOf("wrapped", "sh", "/bin/sh -c '" + install.testServer() + " --listen " + address + "; exit 3'") +
        "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    install.start();
    ASSERT_GT(running("wrapped"), 0) << install.log();
    rapidjson::Document json;
    EXPECT_TRUE(waitFor(
        [&] {
            json.Parse(install.ctl({"status", "--json"}).output.c_str());
            return json.IsObject() && json["servers"][0]["listen"].IsString() &&
                   json["servers"][0]["listen"].GetString() == address;
        },
        20000))
        << install.log();
}

TEST_F(RealServersTest, AnNginxMasterAndItsWorkersAreTakenOverAndAStopEndsThemAll) {
    if (!have("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed (apt install nginx-light)";
    const int port = freeTcpPort();
    const std::string commandLine = nginxConfig(port, false);
    install.writeServers("[" + entryOf("nginx", "nginx", commandLine) + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=10\n");
    install.start();
    const int master = running("nginx");
    ASSERT_GT(master, 0) << install.log();
    ASSERT_TRUE(waitFor([&] { return liveMembers(master) == 3 && httpAnswers(port); })) << readFile(install.dir.file("nginx-error.log"));
    const std::string masterTitle = "master process " + commandLine;
    for (int signal : {SIGKILL, SIGTERM}) {
        restartSupervisor(signal);
        EXPECT_EQ(master, running("nginx")) << install.log();
        waitForChecks(2);
        EXPECT_EQ(master, of("nginx").pid);
        EXPECT_EQ(1, processesWith(masterTitle)) << "a second master was started";
    }
    EXPECT_EQ(1u, count("nginx started successfully"));
    ctlStop("nginx");
    EXPECT_EQ(0, liveMembers(master)) << "workers were left";
    EXPECT_FALSE(httpAnswers(port));
}

TEST_F(RealServersTest, AKilledNginxMasterTakesItsWorkersAlongAndNginxComesBackListening) {
    if (!have("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed (apt install nginx-light)";
    const int port = freeTcpPort();
    install.writeServers("[" + entryOf("nginx", "nginx", nginxConfig(port, false)) + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=5\n");
    install.start();
    const int master = running("nginx");
    ASSERT_GT(master, 0) << install.log();
    ASSERT_TRUE(waitFor([&] { return liveMembers(master) == 3 && httpAnswers(port); }));
    // Long enough to count as a run, not a failed start.
    waitForChecks(2);
    ASSERT_EQ(0, ::kill(master, SIGKILL));
    ASSERT_TRUE(waitFor([&] {
        const Shown s = of("nginx");
        return s.state == "running" && s.pid != master;
    }, 30000)) << install.log();
    groups.push_back(of("nginx").pid);
    EXPECT_EQ(0, liveMembers(master));
    EXPECT_EQ(1u, count("nginx: ended 2 leftover processes of its group")) << install.log();
    EXPECT_EQ(1u, count("nginx was killed by signal 9 (SIGKILL) after"));
    EXPECT_TRUE(waitFor([&] { return httpAnswers(port); })) << readFile(install.dir.file("nginx-error.log"));
}

TEST_F(RealServersTest, NginxThatDaemonizesIsHeldThroughItsPidfileRestartedAndStopped) {
    if (!have("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed (apt install nginx-light)";
    const int port = freeTcpPort();
    const std::string pidfile = install.dir.file("nginx.pid");
    install.writeServers("[" + entryOf("nginx", "nginx", nginxConfig(port, true), "\"pidfile\":\"" + pidfile + "\"") +
                         "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=5\n");
    install.start();
    const int master = running("nginx");
    ASSERT_GT(master, 0) << install.log();
    EXPECT_EQ(std::to_string(master), platform::trimWhite(readFile(pidfile)));
    ASSERT_TRUE(waitFor([&] { return httpAnswers(port); }));
    waitForChecks(2);
    EXPECT_EQ(master, of("nginx").pid);  // not started again and again
    EXPECT_EQ(1u, count("nginx started successfully"));

    ASSERT_EQ(0, ::kill(master, SIGKILL));
    int again = 0;
    ASSERT_TRUE(waitFor([&] {
        const Shown s = of("nginx");
        again = s.state == "running" && s.pid != master ? s.pid : 0;
        return again > 0;
    }, 30000)) << install.log();
    groups.push_back(again);
    EXPECT_EQ(std::to_string(again), platform::trimWhite(readFile(pidfile))) << install.log();
    EXPECT_TRUE(waitFor([&] { return httpAnswers(port); }));
    EXPECT_EQ(0, liveMembers(master));

    ctlStop("nginx");
    EXPECT_EQ(0, liveMembers(again));
    EXPECT_FALSE(httpAnswers(port));
    EXPECT_EQ("stopped", of("nginx").state);
}

TEST_F(RealServersTest, ACrashLoopIsNotUpAndSaysHowItsServerEnds) {
    const int metrics = freeTcpPort();
    install.writeServers("[" + install.entry("crasher", "--exit-code 3") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nRESTART_BACKOFF_MAX=4\n[METRICS]\nLISTEN=127.0.0.1:" +
                          std::to_string(metrics) + "\n");
    install.start();
    ASSERT_TRUE(waitFor([&] { return of("crasher").state == "backoff"; }, 20000)) << install.log();
    const Shown s = of("crasher");
    EXPECT_EQ(0, s.pid);
    EXPECT_EQ("exited with code 3", s.lastExit);
    httplib::Client client("127.0.0.1", metrics);
    const auto response = client.Get("/metrics");
    ASSERT_TRUE(response);
    EXPECT_NE(std::string::npos, response->body.find("procward_server_up{name=\"crasher\"} 0\n"));
    EXPECT_NE(std::string::npos, install.log().find("crasher exited with code 3 after"));
}

TEST_F(RealServersTest, UnderAnHourLongIntervalAServerKilledYoungIsShownDownAndBackAfterItsStep) {
    install.writeServers("[" + install.entry("young", "--role young") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=3600\nRESTART_BACKOFF_MAX=4\n");
    install.start();
    const int first = running("young");
    ASSERT_GT(first, 0);
    ASSERT_EQ(0, ::kill(first, SIGKILL));
    // Told at once, not at the next check an hour away.
    Shown down;
    ASSERT_TRUE(waitFor([&] {
        down = of("young");
        return down.pid != first;
    }, 10000));
    if (down.pid == 0) {
        EXPECT_EQ("failing", down.state);
        EXPECT_EQ("was killed by signal 9 (SIGKILL)", down.lastExit);
    }
    const int second = running("young", 30000);
    EXPECT_GT(second, 0) << install.log();
    EXPECT_NE(first, second);
}

TEST_F(RealServersTest, TheStateFileLivesInTheServiceStateDirectoryAndKeepsAStopWhenAsked) {
    const std::string stateDirectory = install.dir.file("state");
    ASSERT_EQ(0, ::mkdir(stateDirectory.c_str(), 0700));
    ScopedEnvironment given("STATE_DIRECTORY", stateDirectory);
    install.writeServers("[" + install.entry("kept", "--role kept") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nREMEMBER_STOPPED=1\n");
    install.start();
    const int pid = running("kept");
    ASSERT_GT(pid, 0);
    const std::string state = stateDirectory + "/procward.state";
    ASSERT_TRUE(waitFor([&] { return readFile(state).find("\"pid\":" + std::to_string(pid)) != std::string::npos; }))
        << readFile(state);
    struct stat info {};
    ASSERT_EQ(0, ::stat(state.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    EXPECT_FALSE(std::filesystem::exists(install.dir.file("procward.state")));

    ctlStop("kept");
    restartSupervisor(SIGTERM);
    waitForChecks(2);
    const Shown s = of("kept");
    EXPECT_EQ("stopped", s.state);
    EXPECT_FALSE(s.autoStart);
    EXPECT_TRUE(install.serverPids().empty());
}

}  // namespace

// --- files and processes a server controls ---

namespace hostile {

// The process a shell started in the background, as its pidfile names it.
int pidIn(const std::string& path) {
    const std::string text = platform::trimWhite(readFile(path));
    return text.empty() || text.find_first_not_of("0123456789") != std::string::npos ? 0 : std::stoi(text);
}

}  // namespace hostile

TEST_F(RealServersTest, PidfilesThatAreAFifoADeviceOrHugeNeitherFreezeNorEndTheSupervisor) {
    const std::string fifo = install.dir.file("fifo.pid");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::string zero = install.dir.file("zero.pid");
    std::filesystem::create_symlink("/dev/zero", zero);
    const std::string huge = install.dir.file("huge.pid");
    writeFile(huge, "4242\n" + std::string(1 << 20, '\n'));
    auto withPidfile = [&](const std::string& name, const std::string& pidfile) {
        std::string entry = install.entry(name, "--role " + name);
        entry.pop_back();
        return entry + ",\"pidfile\":\"" + pidfile + "\"}";
    };
    install.writeServers("[" + withPidfile("fifo", fifo) + "," + withPidfile("zero", zero) + "," +
                         withPidfile("huge", huge) + "," + install.entry("canary", "--role canary") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    install.start();
    const int canary = running("canary");
    ASSERT_GT(canary, 0) << install.log();
    for (const char* name : {"fifo", "zero", "huge"}) EXPECT_GT(running(name), 0) << name << "\n" << install.log();
    // Supervision goes on: a killed server is seen gone and started again.
    ASSERT_EQ(0, ::kill(canary, SIGKILL));
    int again = 0;
    ASSERT_TRUE(waitFor([&] {
        const Shown s = of("canary");
        again = s.state == "running" && s.pid != canary ? s.pid : 0;
        return again > 0;
    }, 30000)) << install.log();
    groups.push_back(again);
    waitForChecks(3);
    EXPECT_TRUE(processAlive(install.process->pid()));
    // Each file said once with its reason, not at every look.
    EXPECT_EQ(1u, count("fifo: its pidfile " + fifo + " is not read: is a FIFO")) << install.log();
    EXPECT_EQ(1u, count("zero: its pidfile " + zero + " is not read: is a character device")) << install.log();
    EXPECT_EQ(1u, count("huge: its pidfile " + huge + " is not read: holds 1048581 bytes, more than 4096"))
        << install.log();
    ctlStop("fifo");
    EXPECT_EQ("stopped", of("fifo").state);
}

TEST_F(RealServersTest, AProcessAPidfileOrTheStateFileNamesIsHeldOnlyWhenItIsTheServers) {
    // "outsider": its start script waits until its pidfile names something,
    // then exits 0 as a daemonizing starter does. The test names a process
    // it started itself after the launch: of the same user and program, but
    // outside the launch's tree.
    const std::string outsiderPid = install.dir.file("outsider.pid");
    const std::string waits = install.dir.file("waits.sh");
    writeFile(waits, "#!/bin/sh\nwhile [ ! -s " + outsiderPid + " ]; do sleep 0.1; done\nexit 0\n");
    ::chmod(waits.c_str(), 0755);
    std::string servers = entryOf("outsider", "waits.sh", waits, "\"pidfile\":\"" + outsiderPid + "\"");
    // "alien": as root, its start script leaves a process of the user
    // nobody behind and names it: inside the launch's tree, another user.
    const bool root = ::geteuid() == 0;
    const std::string alienPid = install.dir.file("alien.pid");
    const std::string leaves = install.dir.file("leaves.sh");
    if (root) {
        writeFile(leaves, "#!/bin/sh\n[ -e " + alienPid + " ] && exit 0\n"
                          "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups " + install.testServer() +
                              " --role alien &\n"
                              // Named once it runs as nobody: setpriv changes user before its exec.
                              "while [ \"$(readlink /proc/$!/exe)\" != " + install.testServer() +
                              " ]; do sleep 0.05; done\necho $! > " + alienPid + "\nexit 0\n");
        ::chmod(leaves.c_str(), 0755);
        servers += "," + entryOf("alien", "leaves.sh", leaves, "\"pidfile\":\"" + alienPid + "\"");
    }
    // "remembered": a state file made by hand names a process of another
    // program with its true start: not taken over, its own server started.
    ChildProcess sleeper("/bin/sleep", {"300"});
    const auto ticks = platform::LinuxProcessTable::startTicks;
    unsigned long long sleeperTicks = 0;
    ASSERT_TRUE(ticks(sleeper.pid(), sleeperTicks));
    std::string bootId = platform::trimWhite(readFile("/proc/sys/kernel/random/boot_id"));
    writeFile(install.dir.file("procward.state"),
              "{\"version\":1,\"boot_id\":\"" + bootId + "\",\"servers\":[{\"name\":\"remembered\",\"processname\":"
              "\"procward-testserver\",\"commandline\":\"" + install.testServer() + " --role remembered\",\"pid\":" +
                  std::to_string(sleeper.pid()) + ",\"start_ticks\":" + std::to_string(sleeperTicks) +
                  ",\"launched\":true,\"group\":0,\"stopped\":false}]}\n");
    servers += "," + install.entry("remembered", "--role remembered");
    install.writeServers("[" + servers + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=2\n");
    install.start();

    const int remembered = running("remembered");
    ASSERT_GT(remembered, 0) << install.log();
    EXPECT_NE(sleeper.pid(), remembered);
    EXPECT_EQ(1u, count("remembered: pid " + std::to_string(sleeper.pid()) +
                        " named in the state file is not taken for the server: it does not run the server's program"))
        << install.log();

    ASSERT_TRUE(waitFor([&] { return of("outsider").state == "starting"; }, 20000)) << install.log();
    ChildProcess outsider(install.testServer(), {"--role", "outsider-process"});
    writeFile(outsiderPid, std::to_string(outsider.pid()) + "\n");
    ASSERT_TRUE(waitFor([&] { return count("outsider: pid " + std::to_string(outsider.pid())) > 0; }, 20000))
        << install.log();
    EXPECT_EQ(1u, count("outsider: pid " + std::to_string(outsider.pid()) + " named in its pidfile " + outsiderPid +
                        " is not taken for the server: it neither descends from the launched process"))
        << install.log();
    ASSERT_TRUE(waitFor([&] { return count("outsider was started, but its pidfile") > 0; }, 20000)) << install.log();

    int alien = 0;
    if (root) {
        ASSERT_TRUE(waitFor([&] { return (alien = hostile::pidIn(alienPid)) > 0; }, 20000)) << install.log();
        ASSERT_TRUE(waitFor([&] { return count("alien: pid " + std::to_string(alien)) > 0; }, 20000))
            << install.log();
        EXPECT_EQ(1u, count("alien: pid " + std::to_string(alien) + " named in its pidfile " + alienPid +
                            " is not taken for the server: it runs as user 65534, not as the server's user 0"))
            << install.log();
    }
    // None of them is held, so none is stopped with the servers.
    for (const char* name : {"outsider", "alien", "remembered"}) install.ctl({"stop", name});
    ASSERT_TRUE(waitFor([&] { return of("remembered").state == "stopped"; }));
    EXPECT_FALSE(processAlive(remembered));
    EXPECT_TRUE(processAlive(outsider.pid()));
    EXPECT_TRUE(processAlive(sleeper.pid()));
    if (alien > 0) {
        EXPECT_TRUE(processAlive(alien));
        killAndWait(alien);
    }
    for (const auto& [name, shown] : status()) {
        EXPECT_NE(outsider.pid(), shown.pid) << name;
        EXPECT_NE(sleeper.pid(), shown.pid) << name;
        EXPECT_NE(alien, shown.pid) << name;
    }
}

TEST_F(RealServersTest, AsTheFirstProcessOfAPidNamespaceSigtermStopsEveryServerBeforeProcwardEnds) {
    if (::geteuid() != 0 || !have("/usr/bin/unshare")) GTEST_SKIP() << "a PID namespace of its own needs root";
    const std::string saved = install.dir.file("saved");
    install.writeServers("[" + install.entry("saver", "--on-term " + saved) + "," +
                         install.entry("stubborn", "--ignore-term") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=2\n");
    // As a container runs its entrypoint: procwardd is PID 1 of the namespace.
    install.process = std::make_unique<ChildProcess>(
        "/usr/bin/unshare", std::vector<std::string>{"-fp", "--mount-proc", install.executable()}, "/");
    ASSERT_NE(std::string::npos, install.process->waitForOutput("INDEX", 15000)) << install.process->output();
    // The PIDs ctl shows are the namespace's: the servers are looked up here.
    ASSERT_TRUE(waitFor([&] { return of("saver").state == "running" && of("stubborn").state == "running"; }, 20000))
        << install.log();
    ASSERT_EQ(2u, install.serverPids().size());
    // unshare forks procwardd and waits for it.
    const std::string unshare = std::to_string(install.process->pid());
    const int init = hostile::pidIn("/proc/" + unshare + "/task/" + unshare + "/children");
    ASSERT_GT(init, 0);
    ASSERT_EQ(0, ::kill(init, SIGTERM));
    ASSERT_NE(-1, install.process->wait(30000)) << install.log();
    install.process.reset();
    // The saver had its SIGTERM and time to save; the stubborn one was
    // ended after STOP_TIMEOUT; nothing is left.
    EXPECT_EQ("saved\n", readFile(saved)) << install.log();
    EXPECT_TRUE(install.serverPids().empty());
    const std::string log = install.log();
    const auto stopping = log.find("Procward runs as PID 1: stopping every server before it ends (SIGTERM)");
    ASSERT_NE(std::string::npos, stopping) << log;
    EXPECT_LT(stopping, log.find("Procward exiting: SIGTERM")) << log;
}
