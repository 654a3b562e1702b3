// ctl when things go wrong: a supervisor that does not answer, a stop that
// would wait for an hour, names that look like options, and more clients
// than the supervisor will serve at once. Real daemon, real socket.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "tests/app/Installation.h"

namespace {

std::string socketPath() { return std::string(std::getenv("XDG_RUNTIME_DIR")) + "/procward/ctl.sock"; }

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// A connection to the ctl socket that sends nothing; -1 when refused.
int idleClient() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un address = addressOf(socketPath());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct State {
    int pid = 0;
    std::string state;
    bool autoStart = false;
};

std::map<std::string, State> status(const Installation& install) {
    std::map<std::string, State> all;
    const Installation::Result result = install.ctl({"status", "--json"});
    rapidjson::Document json;
    json.Parse(result.output.c_str());
    if ((result.code != 0 && result.code != 3) || json.HasParseError() || !json.IsObject()) return all;
    for (const auto& s : json["servers"].GetArray())
        all[s["name"].GetString()] = State{s["pid"].GetInt(), s["state"].GetString(), s["auto_start"].GetBool()};
    return all;
}

int checks(const Installation& install) {
    rapidjson::Document json;
    json.Parse(install.ctl({"status", "--json"}).output.c_str());
    return json.IsObject() && json.HasMember("checks") ? json["checks"].GetInt() : -1;
}

// CPU time (user and system) a process has used, in clock ticks.
long long cpuTicks(int pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return utime + stime;
}

TEST(CtlTimeoutTest, ASocketThatNeverAnswersEndsCtlWithExitThreeAndAMessage) {
    // What a hung supervisor looks like: a socket that takes no client.
    const std::string directory = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/procward";
    ::mkdir(directory.c_str(), 0700);
    ::unlink(socketPath().c_str());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(socketPath());
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(listener, 1));

    Installation install;
    // The first client gets into the queue and waits for an answer; the
    // ones after it find the queue full.
    const Installation::Result first = install.ctl({"status"});
    EXPECT_EQ(3, first.code);
    EXPECT_NE(std::string::npos, first.output.find("ctl: Procward did not answer within 10 s")) << first.output;
    for (int i = 0; i < 2; ++i) {
        const Installation::Result next = install.ctl({"--timeout", "1", "stop", "web"});
        EXPECT_EQ(3, next.code);
        EXPECT_NE(std::string::npos, next.output.find("did not answer within 1 s")) << next.output;
    }
    ::close(listener);
    ::unlink(socketPath().c_str());
}

class CtlLimitsTest : public ::testing::Test {
protected:
    void start(const std::string& servers, const std::string& settings) {
        install.writeServers(servers);
        install.writeSettings(settings);
        install.start();
    }
    Installation install;
};

TEST_F(CtlLimitsTest, AStoppedDaemonQueuesManyClientsAndCtlGivesUpOnItWithExitThree) {
    start("[" + install.entry("web", "--role web") + "]", "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    // Running, not only launched: the last status below must find it so.
    ASSERT_TRUE(waitFor([&] { return install.ctl({"status"}).code == 0; }, 15000));
    install.process->signal(SIGSTOP);
    // kill() returns before a busy machine has stopped every thread.
    ASSERT_TRUE(waitFor([&] {
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(install.process->pid()) + "/task", error)) {
            const std::string stat = readFile(task.path().string() + "/stat");
            const auto close = stat.rfind(')');
            if (close == std::string::npos || stat.compare(close, 3, ") T") != 0) return false;
        }
        return !error;
    }, 15000));
    // Every one of them gets into the queue while nothing takes them.
    std::vector<int> clients;
    for (int i = 0; i < 128; ++i) clients.push_back(idleClient());
    EXPECT_EQ(0, std::count(clients.begin(), clients.end(), -1));
    const Installation::Result stuck = install.ctl({"--timeout", "1", "status"});
    EXPECT_EQ(3, stuck.code);
    EXPECT_NE(std::string::npos, stuck.output.find("did not answer within 1 s")) << stuck.output;
    install.process->signal(SIGCONT);
    for (int fd : clients)
        if (fd >= 0) ::close(fd);
    EXPECT_EQ(0, install.ctl({"status"}).code);
}

TEST_F(CtlLimitsTest, AServerNamedLikeAnOptionIsAddressedAfterTheDoubleDash) {
    start("[" + install.entry("--all", "--role dashes") + "," + install.entry("other", "--role other") + "]",
          "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    ASSERT_TRUE(waitFor([&] {
        auto s = status(install);
        return s["--all"].pid > 0 && s["other"].pid > 0;
    }, 15000));
    const int other = status(install)["other"].pid;
    const Installation::Result stopped = install.ctl({"stop", "--", "--all"});
    EXPECT_EQ(0, stopped.code) << stopped.output;
    EXPECT_EQ("--all stopped\n", stopped.output);
    auto s = status(install);
    EXPECT_EQ("stopped", s["--all"].state);
    EXPECT_EQ(other, s["other"].pid);
    EXPECT_TRUE(processAlive(other));
}

TEST_F(CtlLimitsTest, KillEndsAStopThatWouldWaitAnHourAndTheWaitingStopIsAnswered) {
    start("[" + install.entry("stubborn", "--ignore-term --role stubborn") + "]",
          "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=3600\n");
    ASSERT_TRUE(waitFor([&] { return status(install)["stubborn"].pid > 0; }, 15000));
    const int pid = status(install)["stubborn"].pid;

    // A client that gives up after a second without news: the supervisor's
    // notice that the stop is under way keeps it waiting.
    ChildProcess stop(install.executable(), {"ctl", "--timeout", "1", "stop", "stubborn"}, "/");
    ASSERT_TRUE(waitFor([&] { return status(install)["stubborn"].state == "stopping"; }, 15000));
    const int from = checks(install);
    ASSERT_TRUE(waitFor([&] { return checks(install) >= from + 3; }, 20000));
    EXPECT_EQ(-1, stop.wait(0)) << stop.output();
    EXPECT_TRUE(processAlive(pid));

    const Installation::Result killed = install.ctl({"kill", "stubborn"});
    EXPECT_EQ(0, killed.code) << killed.output;
    EXPECT_EQ("stubborn killed\n", killed.output);
    EXPECT_FALSE(processAlive(pid));
    const int code = stop.wait(15000);
    ASSERT_TRUE(WIFEXITED(code)) << stop.output();
    EXPECT_EQ(0, WEXITSTATUS(code));
    EXPECT_EQ("stubborn stopped\n", stop.output());
    State after = status(install)["stubborn"];
    EXPECT_EQ("stopped", after.state);
    EXPECT_FALSE(after.autoStart);

    // stop --now is the same at once, on a server not yet stopping.
    ASSERT_EQ(0, install.ctl({"start", "stubborn"}).code);
    const int second = status(install)["stubborn"].pid;
    const Installation::Result now = install.ctl({"stop", "--now", "stubborn"});
    EXPECT_EQ(0, now.code) << now.output;
    EXPECT_EQ("stubborn killed\n", now.output);
    EXPECT_FALSE(processAlive(second));
    EXPECT_NE(std::string::npos, install.log().find("Control command from uid 0: kill stubborn")) << install.log();
}

TEST_F(CtlLimitsTest, IdleClientsWithFewDescriptorsNeitherBlockCtlNorTheLaunchOfServers) {
    install.writeServers("[" + install.entry("web", "--role web") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    install.process = std::make_unique<ChildProcess>(
        "/usr/bin/prlimit", std::vector<std::string>{"--nofile=48:48", install.executable()}, "/");
    ASSERT_NE(std::string::npos, install.process->waitForOutput("INDEX", 15000)) << install.process->output();
    ASSERT_TRUE(waitFor([&] { return status(install)["web"].pid > 0; }, 15000));
    const int daemon = install.process->pid();

    // Far more clients than descriptors, none of them saying anything.
    std::vector<int> clients;
    for (int i = 0; i < 100; ++i) clients.push_back(idleClient());
    const long long cpuBefore = cpuTicks(daemon);
    const auto wallBefore = std::chrono::steady_clock::now();

    // ctl is still served: the oldest idle clients made room.
    const Installation::Result answered = install.ctl({"status"});
    EXPECT_NE(std::string::npos, answered.output.find(" servers running\n")) << answered.output;
    // A server that dies is launched again: descriptors are left for that.
    const int web = status(install)["web"].pid;
    killAndWait(web);
    ASSERT_TRUE(waitFor([&] {
        const int now = status(install)["web"].pid;
        return now > 0 && now != web;
    }, 15000)) << install.log();
    const int from = checks(install);
    ASSERT_TRUE(waitFor([&] { return checks(install) >= from + 2; }, 15000));
    // And it did not spin meanwhile: far less CPU time than time went by.
    const double wallTicks = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count() *
                             static_cast<double>(::sysconf(_SC_CLK_TCK));
    EXPECT_LT(static_cast<double>(cpuTicks(daemon) - cpuBefore), wallTicks / 2);
    for (int fd : clients)
        if (fd >= 0) ::close(fd);
}

}  // namespace
