#include <signal.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include <gtest/gtest.h>

#include "config/AlertMailSettings.h"
#include "log/AppLogger.h"
#include "mail/AlertThrottle.h"
#include "mail/MailDelivery.h"
#include "platform/ProcessTable.h"
#include "supervision/MonitoredServer.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

const std::string kNotWorking = ": service not working，it will be restarted right away!";
const std::string kAlertSubject = "26300 告警邮件";

// Each test logs into its own directory and mails its alerts to a real SMTP
// server on loopback; every alert passes the interval test.
class SupervisionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(dir.file("logs").c_str(), 0777);
        AppLogger::Instance().Init();
        AlertThrottle::Process().Reset();
        SetAlertMailSettings(smtp.host(), smtp.portText(), smtp.user(), smtp.password(), "ops@example.test", 0);
    }
    void TearDown() override {
        // Alerts still going out would log into the next test's file.
        MailDelivery::Process().waitIdle(std::chrono::seconds(60));
        for (int pid : launched) killAndWait(pid);
    }

    // A server of this test: its program is the test's own copy of the test
    // server, so that processes of tests running at the same time never match.
    void configure(MonitoredServer& server, const std::string& name, const std::string& arguments) {
        configure(server, name, arguments, program);
    }
    void configure(MonitoredServer& server, const std::string& name, const std::string& arguments,
                   const std::string& program) {
        server.info.name = name;
        server.info.processname = std::filesystem::path(program).filename();
        server.info.commandline = program + (arguments.empty() ? "" : " " + arguments);
    }
    // Remembers a process the supervisor launched, to end it after the test.
    int adopt(int pid) {
        if (pid > 0) launched.push_back(pid);
        return pid;
    }
    std::string log() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir.file("logs"))) return readFile(entry.path());
        return {};
    }
    static std::size_t count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    std::vector<std::string> alertBodies() {
        // Alerts are mailed on the delivery thread.
        EXPECT_TRUE(MailDelivery::Process().waitIdle(std::chrono::seconds(60)));
        std::vector<std::string> bodies;
        for (const auto& m : smtp.messages()) {
            EXPECT_EQ(kAlertSubject, m.subject);
            // The body line is followed by the blank line before the end of data.
            bodies.push_back(m.body.substr(0, m.body.find_last_not_of('\n') + 1));
        }
        return bodies;
    }
    // Processes whose command line is exactly this one.
    static int running(const std::string& commandLine) {
        platform::ProcessSnapshot snapshot;
        platform::processTable().snapshot(snapshot);
        int n = 0;
        for (const auto& e : snapshot) {
            std::string text;
            if (platform::processTable().commandLine(e.pid, text) && text == commandLine) ++n;
        }
        return n;
    }

    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    SmtpTestServer smtp;
    const std::string program = copyTestServer(dir.file("procward-testserver"));
    std::vector<int> launched;
};

TEST_F(SupervisionTest, ListenAddressIsTheLastListeningSocketInAddressAndPortOrder) {
    int low = freeTcpPort(), high = freeTcpPort();
    if (low > high) std::swap(low, high);
    TestServer process({"--listen", "127.0.0.1:" + std::to_string(high), "--listen", "127.0.0.1:" + std::to_string(low)});
    MonitoredServer server;
    server.info.pid = process.pid();
    EXPECT_EQ("127.0.0.1:" + std::to_string(high), server.readListenAddress());

    // 0.0.0.0 sorts before 127.0.0.1 whatever the ports.
    TestServer both({"--listen", "127.0.0.1:" + std::to_string(low + 1 == high ? freeTcpPort() : low + 1),
                     "--listen", "0.0.0.0:" + std::to_string(freeTcpPort())});
    server.info.pid = both.pid();
    EXPECT_EQ(0u, server.readListenAddress().find("127.0.0.1:"));

    server.info.pid = 0;
    EXPECT_EQ("", server.readListenAddress());
}

TEST_F(SupervisionTest, NoListenAddressWithOnlyAConnectionOrOnlyIpv6) {
    const int port = freeTcpPort();
    TestServer listener({"--listen", "127.0.0.1:" + std::to_string(port)});
    TestServer connected({"--connect", "127.0.0.1:" + std::to_string(port)});
    TestServer ipv6({"--listen6", std::to_string(freeTcpPort())});
    MonitoredServer server;
    server.info.pid = connected.pid();
    EXPECT_EQ("", server.readListenAddress());
    server.info.pid = ipv6.pid();
    EXPECT_EQ("", server.readListenAddress());
    // The connection's port is the listener's own.
    server.info.pid = listener.pid();
    EXPECT_EQ("127.0.0.1:" + std::to_string(port), server.readListenAddress());
}

TEST_F(SupervisionTest, StartTimeIsTheCreationTimeToTheSecond) {
    const std::time_t before = std::time(nullptr);
    TestServer process({});
    const std::time_t after = std::time(nullptr);
    MonitoredServer server;
    server.info.pid = process.pid();
    std::int64_t startTime = 0;
    server.readStartTime(startTime);
    // The system's boot time is kept in whole seconds: allow one second.
    EXPECT_GE(startTime, before - 1);
    EXPECT_LE(startTime, after);

    // A process that cannot be read keeps the old value; pid 0 reads nothing.
    process.kill();
    startTime = 42;
    server.readStartTime(startTime);
    EXPECT_EQ(42, startTime);
    server.info.pid = 0;
    server.readStartTime(startTime);
    EXPECT_EQ(42, startTime);
}

TEST_F(SupervisionTest, FirstCheckStartsAServerThatIsNotRunning) {
    MonitoredServer server;
    const int port = freeTcpPort();
    configure(server, "gs1", "--listen 127.0.0.1:" + std::to_string(port));
    EXPECT_TRUE(server.checkStatus());
    const int pid = adopt(server.info.pid);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(processAlive(pid));
    EXPECT_EQ("127.0.0.1:" + std::to_string(port), server.info.ports);
    EXPECT_GT(server.info.startTime, 0);
    EXPECT_TRUE(server.autoStart);

    const std::string text = log();
    EXPECT_NE(std::string::npos, text.find("[INFO ]: Enabled autoStart mode for gs1\r\n"));
    EXPECT_NE(std::string::npos, text.find("[INFO ]: gs1 started successfully: pid=" + std::to_string(pid) + "\r\n"));
    EXPECT_NE(std::string::npos, text.find("[INFO ]: service is closed, autoStart gs1 true\r\n"));
    // No "service not working" for a server that was not running before.
    EXPECT_EQ(std::string::npos, text.find(kNotWorking));
    EXPECT_EQ((std::vector<std::string>{"gs1 started successfully: pid=" + std::to_string(pid)}), alertBodies());

    // Two checks with nothing changed report no change.
    EXPECT_FALSE(server.checkStatus());
    EXPECT_FALSE(server.checkStatus());
    EXPECT_EQ(pid, server.info.pid);
}

TEST_F(SupervisionTest, AKilledServerIsAlertedAndRestartedWithAutoStartOn) {
    MonitoredServer server;
    configure(server, "gs1", "--role restart");
    TestServer original({"--role", "restart"}, program);
    EXPECT_TRUE(server.checkStatus());
    EXPECT_EQ(original.pid(), server.info.pid);
    EXPECT_TRUE(alertBodies().empty());  // found running: no alert

    original.kill();
    EXPECT_TRUE(server.checkStatus());
    const int restarted = adopt(server.info.pid);
    ASSERT_GT(restarted, 0);
    EXPECT_NE(original.pid(), restarted);
    EXPECT_EQ((std::vector<std::string>{"gs1" + kNotWorking, "gs1 started successfully: pid=" + std::to_string(restarted)}),
              alertBodies());
    EXPECT_NE(std::string::npos, log().find("[INFO ]: service is closed, autoStart gs1 true\r\n"));
}

TEST_F(SupervisionTest, AKilledServerWithAutoStartOffIsNeitherAlertedNorRestarted) {
    MonitoredServer server;
    configure(server, "gs1", "--listen 127.0.0.1:" + std::to_string(freeTcpPort()));
    TestServer original({"--listen", server.info.commandline.substr(server.info.commandline.rfind(' ') + 1)}, program);
    server.checkStatus();
    ASSERT_EQ(original.pid(), server.info.pid);
    ASSERT_FALSE(server.info.ports.empty());
    const std::int64_t startTime = server.info.startTime;
    ASSERT_GT(startTime, 0);
    server.autoStart = false;

    original.kill();
    EXPECT_TRUE(server.checkStatus());
    EXPECT_EQ(0, server.info.pid);
    EXPECT_EQ("", server.info.ports);
    EXPECT_EQ(startTime, server.info.startTime);
    EXPECT_FALSE(server.checkStatus());
    EXPECT_TRUE(alertBodies().empty());
    EXPECT_EQ(std::string::npos, log().find("service is closed"));
}

TEST_F(SupervisionTest, AServerThatCannotBeStartedIsTriedAtEveryCheckButAlertedOnce) {
    const std::string copy = copyTestServer(dir.file("gamesvr"));
    MonitoredServer server;
    configure(server, "gs2", "-x", copy);
    TestServer original({"-x"}, copy);
    server.checkStatus();
    ASSERT_EQ(original.pid(), server.info.pid);

    original.kill();
    std::filesystem::remove(copy);
    EXPECT_TRUE(server.checkStatus());
    EXPECT_FALSE(server.checkStatus());
    EXPECT_FALSE(server.checkStatus());
    EXPECT_EQ(0, server.info.pid);
    EXPECT_TRUE(server.autoStart);
    EXPECT_EQ(3u, count(log(), "[INFO ]: service is closed, autoStart gs2 false\r\n"));
    EXPECT_EQ((std::vector<std::string>{"gs2" + kNotWorking}), alertBodies());
}

TEST_F(SupervisionTest, AChangedListenAddressAloneIsAChange) {
    const int first = freeTcpPort(), later = freeTcpPort();
    TestServer process({"--listen", "0.0.0.0:" + std::to_string(first), "--listen-on-signal",
                        "127.0.0.1:" + std::to_string(later)},
                       program);
    MonitoredServer server;
    configure(server, "gs3", "--listen 0.0.0.0:" + std::to_string(first) + " --listen-on-signal 127.0.0.1:" +
                                 std::to_string(later));
    EXPECT_TRUE(server.checkStatus());
    EXPECT_EQ("0.0.0.0:" + std::to_string(first), server.info.ports);
    EXPECT_FALSE(server.checkStatus());

    ::kill(process.pid(), SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return !server.readListenAddress().empty() &&
                                     server.readListenAddress() != server.info.ports; }));
    EXPECT_TRUE(server.checkStatus());
    EXPECT_EQ(process.pid(), server.info.pid);
    EXPECT_EQ("127.0.0.1:" + std::to_string(later), server.info.ports);
}

TEST_F(SupervisionTest, StartOnARunningServerLaunchesNothingButTurnsAutoStartOn) {
    TestServer process({"--role", "running"}, program);
    MonitoredServer server;
    configure(server, "gs4", "--role running");
    server.checkStatus();
    server.autoStart = false;
    EXPECT_FALSE(server.start());
    EXPECT_TRUE(server.autoStart);
    EXPECT_EQ(1, running(server.info.commandline));
    EXPECT_NE(std::string::npos, log().find("[INFO ]: Enabled autoStart mode for gs4\r\n"));
    EXPECT_TRUE(alertBodies().empty());
}

TEST_F(SupervisionTest, ALaunchFailureReturnsFalseAndKeepsAutoStart) {
    MonitoredServer server;
    configure(server, "gs5", "-x", dir.file("missing/procward-testserver"));
    server.autoStart = false;
    EXPECT_FALSE(server.start());
    EXPECT_TRUE(server.autoStart);
    EXPECT_EQ(0, server.info.pid);
    EXPECT_TRUE(alertBodies().empty());
}

TEST_F(SupervisionTest, StopEndsTheProcessAndSetsAutoStart) {
    MonitoredServer server;
    configure(server, "gs6", "--role stop");
    // Nothing to stop: false, auto-start untouched, nothing logged.
    EXPECT_FALSE(server.stop(false));
    EXPECT_TRUE(server.autoStart);

    TestServer process({"--role", "stop"}, program);
    server.checkStatus();
    ASSERT_EQ(process.pid(), server.info.pid);
    EXPECT_TRUE(server.stop(false));
    EXPECT_EQ(0, server.info.pid);
    EXPECT_EQ("", server.info.ports);
    EXPECT_EQ(0, server.info.startTime);
    EXPECT_FALSE(server.autoStart);
    EXPECT_FALSE(processAlive(process.pid()));
    EXPECT_EQ(1u, count(log(), "[INFO ]: Disabled autoStart mode for gs6\r\n"));
    // Stopped with auto-start off: the next check leaves it stopped.
    EXPECT_FALSE(server.checkStatus());
    EXPECT_EQ(0, running(server.info.commandline));
}

TEST_F(SupervisionTest, StopKeepingAutoStartRestartsAtTheNextCheckWithoutAServiceAlert) {
    MonitoredServer server;
    configure(server, "gs7", "--role edit");
    TestServer process({"--role", "edit"}, program);
    server.checkStatus();
    EXPECT_TRUE(server.stop(true));
    EXPECT_TRUE(server.autoStart);
    EXPECT_EQ(std::string::npos, log().find("Disabled autoStart mode"));

    EXPECT_TRUE(server.checkStatus());
    const int restarted = adopt(server.info.pid);
    ASSERT_GT(restarted, 0);
    EXPECT_NE(process.pid(), restarted);
    EXPECT_EQ((std::vector<std::string>{"gs7 started successfully: pid=" + std::to_string(restarted)}), alertBodies());
}

TEST_F(SupervisionTest, ALaunchedServerThatCannotBeRecognisedIsEndedAgain) {
    // The file name differs in case from the command line: the server can be
    // launched but never found, so each check would launch one more copy.
    MonitoredServer server;
    configure(server, "gs8", "--unrecognised " + std::to_string(::getpid()));
    server.info.processname = "Procward-TestServer";
    for (int check = 0; check < 3; ++check) {
        server.checkStatus();
        EXPECT_EQ(0, server.info.pid);
        EXPECT_EQ(0, running(server.info.commandline)) << "after check " << check;
    }
    EXPECT_EQ(3u, count(log(), "[ERROR]: gs8 was started"));
    EXPECT_EQ(3u, count(log(), "cannot be recognised by its command line"));
    EXPECT_EQ(3u, count(log(), "service is closed, autoStart gs8 false"));
    EXPECT_TRUE(alertBodies().empty());
}

}  // namespace
