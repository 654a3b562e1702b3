// The listen address a record shows: IPv6 when there is no IPv4 listener,
// and the address following what the server does with its listeners.
#include <signal.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/TcpTable.h"
#include "tests/support/SupervisionFixture.h"

namespace {

class ListenAddressTest : public SupervisionFixture {
protected:
    // The listeners of a process as the machine shows them, in text.
    static std::vector<std::string> listening(int pid) {
        std::vector<platform::TcpListener> listeners;
        std::vector<std::string> texts;
        if (!platform::tcpTable().listenersOf(pid, listeners)) return texts;
        for (const auto& l : listeners) {
            std::string text;
            if (l.family == platform::AddressFamily::IPv6) {
                text += '[';
                text += platform::ipv6Text(l.localAddress6);
                text += ']';
            } else {
                for (int shift = 24; shift >= 0; shift -= 8) {
                    text += std::to_string((l.localAddress >> shift) & 0xFF);
                    if (shift > 0) text += '.';
                }
            }
            text += ':';
            text += std::to_string(l.localPort);
            texts.push_back(text);
        }
        return texts;
    }
    // Lets the launched servers open their sockets, then runs the read
    // that follows a launch.
    void settleAll(std::size_t listenersEach) {
        for (const auto& [index, server] : supervisor->servers()) {
            const int pid = server->info().pid;
            EXPECT_TRUE(waitFor([&] { return listening(pid).size() == listenersEach; })) << server->info().name;
        }
        clock.advance(210ms);
        supervisor->runDue();
    }
    // The process ID a server's child wrote.
    static int pidFrom(const std::string& path) {
        int pid = 0;
        waitFor([&] {
            std::ifstream in(path);
            return static_cast<bool>(in >> pid);
        });
        return pid;
    }
    static std::string port(int value) { return std::to_string(value); }
};

TEST_F(ListenAddressTest, AServerWithoutAnIpv4ListenerShowsItsIpv6Address) {
    const int a = freeTcpPort(), b = freeTcpPort(), c = freeTcpPort();
    make().load({entry(1, "loopback6", "--listen [::1]:" + port(a)),
                 entry(2, "any6", "--listen [::]:" + port(b)),
                 entry(3, "mapped", "--listen [::ffff:127.0.0.1]:" + port(c))});
    settleAll(1);
    EXPECT_EQ("[::1]:" + port(a), record(1).info().ports);
    EXPECT_EQ("[::]:" + port(b), record(2).info().ports);
    EXPECT_EQ("[::ffff:127.0.0.1]:" + port(c), record(3).info().ports);
    tick();
    EXPECT_EQ("[::1]:" + port(a), record(1).info().ports);
}

TEST_F(ListenAddressTest, AServerOnBothFamiliesShowsItsLastIpv4Address) {
    const int a = freeTcpPort(), b = freeTcpPort(), c = freeTcpPort();
    make().load({entry(1, "dual", "--listen [::]:" + port(a) + " --listen 0.0.0.0:" + port(b) +
                                      " --listen 127.0.0.1:" + port(c) + " --listen [::1]:" + port(c))});
    settleAll(4);
    EXPECT_EQ("127.0.0.1:" + port(c), record(1).info().ports);
}

TEST_F(ListenAddressTest, TheAddressFollowsAServerThatClosesItsListenerAndOpensAnother) {
    const int first = freeTcpPort(), later = freeTcpPort();
    make().load({entry(1, "swap", "--listen 127.0.0.1:" + port(first) + " --listen-on-signal 0.0.0.0:" + port(later) +
                                      " --close-on-signal")});
    settleAll(1);
    EXPECT_EQ("127.0.0.1:" + port(first), record(1).info().ports);
    const int pid = record(1).info().pid;
    ::kill(pid, SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return listening(pid) == std::vector<std::string>{"0.0.0.0:" + port(later)}; }));
    tick();
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ("0.0.0.0:" + port(later), record(1).info().ports);
}

TEST_F(ListenAddressTest, AServerRestartedOnANewPortShowsTheNewPort) {
    // Port 0: the system gives each start a port of its own.
    make().load({entry(1, "anyport", "--listen 127.0.0.1:0")});
    settleAll(1);
    const int first = record(1).info().pid;
    ASSERT_EQ(listening(first), std::vector<std::string>{record(1).info().ports});
    killAndWait(first);
    tick();
    const int second = record(1).info().pid;
    ASSERT_GT(second, 0);
    ASSERT_NE(first, second);
    settleAll(1);
    const std::vector<std::string> now = listening(second);
    ASSERT_EQ(1u, now.size());
    EXPECT_EQ(now[0], record(1).info().ports);
}

TEST_F(ListenAddressTest, AListenerHandedToAChildIsShownForTheProcessTheRecordHolds) {
    const int listenPort = freeTcpPort();
    const std::string childFile = dir.file("child");
    make().load({entry(1, "keeper", "--listen 127.0.0.1:" + port(listenPort) + " --fork-keeper " + childFile)});
    const int parent = record(1).info().pid;
    const int child = pidFrom(childFile);
    ASSERT_GT(child, 0);
    launched.push_back(child);
    settleAll(1);
    // Both hold the socket; the record holds the parent.
    ASSERT_EQ(std::vector<std::string>{"127.0.0.1:" + port(listenPort)}, listening(child));
    EXPECT_EQ(parent, record(1).info().pid);
    EXPECT_EQ("127.0.0.1:" + port(listenPort), record(1).info().ports);
    tick();
    EXPECT_EQ("127.0.0.1:" + port(listenPort), record(1).info().ports);
}

TEST_F(ListenAddressTest, AServerHoldingThousandsOfConnectionsShowsItsAddress) {
    const int listenPort = freeTcpPort();
    make().load({entry(1, "busy", "--listen 0.0.0.0:" + port(listenPort) + " --hold-connections 3000")});
    const int pid = record(1).info().pid;
    // 6,000 sockets of its own, all established.
    ASSERT_TRUE(waitFor([&] { return listening(pid).size() == 1; }, 30000));
    settleAll(1);
    EXPECT_EQ("0.0.0.0:" + port(listenPort), record(1).info().ports);
    tick();
    tick();
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_EQ("0.0.0.0:" + port(listenPort), record(1).info().ports);
}

}  // namespace
