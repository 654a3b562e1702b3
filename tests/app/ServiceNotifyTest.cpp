// What procwardd tells systemd, received on a notification socket the test
// makes, as systemd would for a unit of Type=notify with WatchdogSec.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "tests/app/Installation.h"
#include "tests/support/TempDir.h"

namespace {

class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    bool bound() const { return bound_; }
    // The next message, or empty when none came within `ms`.
    std::string next(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return {};
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    // Reads messages until one holds `text`; the messages read on the way
    // go to `seen`.
    bool waitFor(const std::string& text, std::vector<std::string>& seen, int ms = 15000) {
        for (int spent = 0; spent < ms; spent += 100) {
            const std::string message = next(100);
            if (message.empty()) continue;
            seen.push_back(message);
            if (message.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(ServiceNotifyTest, ReadyAfterTheFirstChecksThenStatusWatchdogAndStopping) {
    Installation install;
    NotifySocket notify(install.dir.file("notify.sock"));
    ASSERT_TRUE(notify.bound());
    install.writeServers("[" + install.entry("web", "--role web") + "," + install.entry("db", "--role db") + "]");
    // Starts count at once: the status says both run as the ready comes.
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=5\nSTART_CONFIRM_SECONDS=0\n");
    ScopedEnvironment socket("NOTIFY_SOCKET", install.dir.file("notify.sock"));
    // WatchdogSec=1: a ping is due every half second, well before the next
    // check, so the loop has to wake for it.
    ScopedEnvironment watchdog("WATCHDOG_USEC", "1000000");
    install.start();

    std::vector<std::string> seen;
    ASSERT_TRUE(notify.waitFor("READY=1", seen)) << install.log();
    // Ready means every server has had its first check: both were started.
    EXPECT_EQ(2u, install.serverPids().size());
    ASSERT_TRUE(notify.waitFor("STATUS=2 of 2 servers running", seen));
    // Nothing but the status before it.
    for (const std::string& message : seen) EXPECT_EQ(std::string::npos, message.find("WATCHDOG=1")) << message;

    seen.clear();
    ASSERT_TRUE(notify.waitFor("WATCHDOG=1", seen));
    ASSERT_TRUE(notify.waitFor("WATCHDOG=1", seen));

    // A server that goes down and stays down changes the status. (One that
    // is killed is back before the pass ends, so the count never changes.)
    ASSERT_EQ(0, install.ctl({"stop", "web"}).code);
    ASSERT_TRUE(notify.waitFor("STATUS=1 of 2 servers running", seen)) << install.log();
    ASSERT_EQ(0, install.ctl({"start", "web"}).code);
    ASSERT_TRUE(notify.waitFor("STATUS=2 of 2 servers running", seen)) << install.log();

    install.process->signal(SIGTERM);
    seen.clear();
    ASSERT_TRUE(notify.waitFor("STOPPING=1", seen));
}

TEST(ServiceNotifyTest, ARefusedReloadStaysInTheStatusUntilAReloadSucceeds) {
    Installation install;
    NotifySocket notify(install.dir.file("notify.sock"));
    ASSERT_TRUE(notify.bound());
    install.writeServers("[" + install.entry("web", "--role web") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    ScopedEnvironment socket("NOTIFY_SOCKET", install.dir.file("notify.sock"));
    install.start();
    std::vector<std::string> seen;
    ASSERT_TRUE(notify.waitFor("STATUS=1 of 1 servers running", seen)) << install.log();

    install.writeServers("[\n" + install.entry("web", "--role web") + "\n");
    install.process->signal(SIGHUP);
    const std::string path = install.dir.file("serverinfo.json");
    ASSERT_TRUE(notify.waitFor("STATUS=1 of 1 servers running; reload refused: " + path + ": line 3, column 1: ", seen))
        << install.log();

    install.writeServers("[" + install.entry("web", "--role web") + "]");
    install.process->signal(SIGHUP);
    seen.clear();
    ASSERT_TRUE(notify.waitFor("STATUS=1 of 1 servers running", seen)) << install.log();
    EXPECT_EQ(std::string::npos, seen.back().find("refused")) << seen.back();
}

TEST(ServiceNotifyTest, AWatchdogMeantForAnotherProcessIsNotServed) {
    Installation install;
    NotifySocket notify(install.dir.file("notify.sock"));
    ASSERT_TRUE(notify.bound());
    install.writeServers("[]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    ScopedEnvironment socket("NOTIFY_SOCKET", install.dir.file("notify.sock"));
    ScopedEnvironment watchdog("WATCHDOG_USEC", "200000");
    ScopedEnvironment pid("WATCHDOG_PID", "1");
    install.start();
    std::vector<std::string> seen;
    ASSERT_TRUE(notify.waitFor("READY=1", seen));
    // Two check passes: by then ten pings would have been due.
    ASSERT_TRUE(waitFor([&] {
        const std::string json = install.ctl({"status", "--json"}).output;
        return json.find("\"checks\":0,") == std::string::npos && json.find("\"checks\":1,") == std::string::npos &&
               json.find("\"checks\":") != std::string::npos;
    }, 15000));
    install.process->signal(SIGTERM);
    ASSERT_TRUE(notify.waitFor("STOPPING=1", seen));
    for (const std::string& message : seen) EXPECT_EQ(std::string::npos, message.find("WATCHDOG=1")) << message;
}

}  // namespace
