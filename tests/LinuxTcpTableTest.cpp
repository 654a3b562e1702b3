#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/LinuxTcpTable.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

using platform::LinuxTcpTable;
using platform::TcpListener;
using Texts = std::vector<std::string>;

namespace {

std::string text(const TcpListener& listener) {
    if (listener.family == platform::AddressFamily::IPv6) {
        std::string bracketed(1, '[');
        bracketed += platform::ipv6Text(listener.localAddress6);
        bracketed += "]:";
        bracketed += std::to_string(listener.localPort);
        return bracketed;
    }
    const std::uint32_t a = listener.localAddress;
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF) + ":" + std::to_string(listener.localPort);
}

Texts texts(const std::vector<TcpListener>& listeners) {
    Texts out;
    for (const auto& listener : listeners) out.push_back(text(listener));
    return out;
}

std::string address(const std::string& host, int port) { return host + ":" + std::to_string(port); }

// Distinct free ports, ascending.
std::vector<int> freePorts(std::size_t count) {
    std::vector<int> ports;
    while (ports.size() < count) {
        const int port = freeTcpPort();
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

// Two distinct free ports, the lower first.
std::pair<int, int> twoPorts() {
    const std::vector<int> ports = freePorts(2);
    return {ports[0], ports[1]};
}

// A listening socket of the test process itself on 127.0.0.1.
class OwnListener {
public:
    OwnListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof where;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&where), &length) != 0)
            throw std::runtime_error("own listener");
        port_ = ntohs(where.sin_port);
    }
    ~OwnListener() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

class LinuxTcpTableTest : public ::testing::TestWithParam<LinuxTcpTable::Source> {
protected:
    LinuxTcpTable table{GetParam()};

    Texts listeners(int pid) {
        std::vector<TcpListener> out{TcpListener{1, 1}};  // must be replaced
        EXPECT_TRUE(table.listenersOf(pid, out)) << "pid " << pid;
        return texts(out);
    }
};

std::string sourceName(const ::testing::TestParamInfo<LinuxTcpTable::Source>& info) {
    return info.param == LinuxTcpTable::Source::Netlink ? "Netlink" : "ProcNetTcp";
}

}  // namespace

TEST_P(LinuxTcpTableTest, ListeningPortsComeInAscendingPortOrder) {
    const auto [low, high] = twoPorts();
    // Opened higher first: the order is the table's, not the process's.
    TestServer server({"--listen", address("127.0.0.1", high), "--listen", address("127.0.0.1", low)});
    EXPECT_EQ((Texts{address("127.0.0.1", low), address("127.0.0.1", high)}), listeners(server.pid()));
}

TEST_P(LinuxTcpTableTest, AddressOrdersBeforePort) {
    const auto [low, high] = twoPorts();
    TestServer server({"--listen", address("127.0.0.1", low), "--listen", address("0.0.0.0", high)});
    EXPECT_EQ((Texts{address("0.0.0.0", high), address("127.0.0.1", low)}), listeners(server.pid()));
}

TEST_P(LinuxTcpTableTest, AnEstablishedConnectionAloneListsNothing) {
    OwnListener own;
    TestServer client({"--connect", address("127.0.0.1", own.port())});
    EXPECT_EQ(Texts{}, listeners(client.pid()));
    // The listening end belongs to the test process.
    EXPECT_EQ((Texts{address("127.0.0.1", own.port())}), listeners(::getpid()));
}

TEST_P(LinuxTcpTableTest, Ipv6ListenersComeAfterTheIpv4OnesInAddressOrder) {
    const std::vector<int> port = freePorts(5);
    // Opened in the opposite order.
    TestServer server({"--listen", address("[::ffff:127.0.0.1]", port[0]), "--listen", address("[::1]", port[1]),
                       "--listen", address("[::]", port[2]), "--listen", address("127.0.0.1", port[3])});
    EXPECT_EQ((Texts{address("127.0.0.1", port[3]), address("[::]", port[2]), address("[::1]", port[1]),
                     address("[::ffff:127.0.0.1]", port[0])}),
              listeners(server.pid()));
    TestServer only6({"--listen6", std::to_string(port[4])});
    EXPECT_EQ((Texts{address("[::1]", port[4])}), listeners(only6.pid()));
}

TEST_P(LinuxTcpTableTest, OtherProcessesSocketsAreNotCounted) {
    const auto [portA, portB] = twoPorts();
    TestServer a({"--listen", address("127.0.0.1", portA)});
    // b listens on its own port and holds a connection to a's port.
    TestServer b({"--listen", address("0.0.0.0", portB), "--connect", address("127.0.0.1", portA)});
    EXPECT_EQ((Texts{address("127.0.0.1", portA)}), listeners(a.pid()));
    EXPECT_EQ((Texts{address("0.0.0.0", portB)}), listeners(b.pid()));
    // c listens on a's port too, on other addresses.
    TestServer c({"--listen", address("127.0.0.2", portA), "--listen", address("[::1]", portA)});
    EXPECT_EQ((Texts{address("127.0.0.1", portA)}), listeners(a.pid()));
    EXPECT_EQ((Texts{address("127.0.0.2", portA), address("[::1]", portA)}), listeners(c.pid()));
}

TEST_P(LinuxTcpTableTest, GoneOrInvalidProcessGivesFalse) {
    TestServer server({"--listen", address("127.0.0.1", freeTcpPort())});
    const int pid = server.pid();
    server.kill();
    for (const int id : {pid, 0, -1}) {
        std::vector<TcpListener> out{TcpListener{1, 1}};
        EXPECT_FALSE(table.listenersOf(id, out)) << id;
        EXPECT_TRUE(out.empty()) << id;
    }
}

TEST_P(LinuxTcpTableTest, ProcessWhoseDescriptorsCannotBeReadGivesFalse) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to take on another user";
    TestServer server({"--listen", address("127.0.0.1", freeTcpPort())});
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        std::vector<TcpListener> out;
        ::_exit(table.listenersOf(server.pid(), out) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

INSTANTIATE_TEST_SUITE_P(BothSources, LinuxTcpTableTest,
                         ::testing::Values(LinuxTcpTable::Source::Netlink, LinuxTcpTable::Source::ProcNetTcp),
                         sourceName);

TEST(LinuxTcpTableSourcesTest, BothSourcesReportTheSameSockets) {
    const std::vector<int> port = freePorts(5);
    TestServer server({"--listen", address("127.0.0.1", port[0]), "--listen", address("0.0.0.0", port[1]), "--listen",
                       address("127.0.0.1", port[2]), "--listen", address("[::1]", port[3]), "--listen",
                       address("[::ffff:127.0.0.1]", port[4])});
    std::vector<std::uint64_t> inodes;
    ASSERT_TRUE(LinuxTcpTable::socketInodesOf(server.pid(), inodes));
    ASSERT_EQ(5u, inodes.size());

    // Each source lists the server's five sockets, with the same inodes.
    auto ownedBy = [&](const std::vector<LinuxTcpTable::Socket>& all) {
        Texts found;
        for (const auto& socket : all)
            if (std::binary_search(inodes.begin(), inodes.end(), socket.inode))
                found.push_back(text(socket.listener) + "#" + std::to_string(socket.inode));
        std::sort(found.begin(), found.end());
        return found;
    };
    std::vector<LinuxTcpTable::Socket> fromNetlink, fromProc;
    ASSERT_TRUE(LinuxTcpTable::netlinkListeners(fromNetlink));
    ASSERT_TRUE(LinuxTcpTable::procNetTcpListeners(fromProc));
    EXPECT_EQ(5u, ownedBy(fromNetlink).size());
    EXPECT_EQ(ownedBy(fromNetlink), ownedBy(fromProc));

    LinuxTcpTable netlink(LinuxTcpTable::Source::Netlink), proc(LinuxTcpTable::Source::ProcNetTcp);
    std::vector<TcpListener> a, b;
    ASSERT_TRUE(netlink.listenersOf(server.pid(), a));
    ASSERT_TRUE(proc.listenersOf(server.pid(), b));
    ASSERT_EQ(5u, a.size());
    EXPECT_EQ(texts(a), texts(b));
}

TEST(LinuxTcpTableSourcesTest, FallsBackToProcNetTcpWhereNetlinkIsRefused) {
    const auto [low, high] = twoPorts();
    TestServer server({"--listen", address("0.0.0.0", high), "--listen", address("127.0.0.1", low)});
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // From here on this process may not open netlink sockets, as under
        // a sandbox that forbids them.
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(100);
        std::vector<LinuxTcpTable::Socket> sockets;
        if (LinuxTcpTable::netlinkListeners(sockets)) ::_exit(101);  // the filter did not take
        LinuxTcpTable table(LinuxTcpTable::Source::Netlink);
        std::vector<TcpListener> out;
        if (!table.listenersOf(server.pid(), out) || out.size() != 2) ::_exit(1);
        const bool right = text(out[0]) == address("0.0.0.0", high) && text(out[1]) == address("127.0.0.1", low);
        ::_exit(right ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(100, WEXITSTATUS(status)) << "cannot install a seccomp filter here";
    ASSERT_NE(101, WEXITSTATUS(status)) << "netlink still open under the filter";
    EXPECT_EQ(0, WEXITSTATUS(status));
}

// --- owners kept from one snapshot to the next ---

namespace {

// The listeners of each process in one fresh snapshot, as a check pass
// sees them.
std::vector<Texts> pass(LinuxTcpTable& table, const std::vector<int>& pids) {
    std::vector<Texts> seen;
    const std::unique_ptr<platform::ListenerSnapshot> snapshot = table.snapshot();
    for (const int pid : pids) {
        std::vector<TcpListener> out;
        seen.push_back(snapshot && snapshot->listenersOf(pid, out) ? texts(out) : Texts{"(unreadable)"});
    }
    return seen;
}

// The process ID a test server's child wrote.
int pidFrom(const std::string& path) {
    int pid = 0;
    waitFor([&] {
        std::ifstream in(path);
        return static_cast<bool>(in >> pid);
    });
    return pid;
}

}  // namespace

TEST(LinuxTcpTableOwnersTest, ListenersFollowAServerThatOpensOrSwapsThem) {
    const std::vector<int> port = freePorts(4);
    TestServer swapping({"--listen", address("127.0.0.1", port[0]), "--listen-on-signal", address("[::1]", port[1]),
                         "--close-on-signal"});
    TestServer adding({"--listen", address("127.0.0.1", port[2]), "--listen-on-signal", address("0.0.0.0", port[3])});
    LinuxTcpTable table;
    const std::vector<Texts> before{{address("127.0.0.1", port[0])}, {address("127.0.0.1", port[2])}};
    EXPECT_EQ(before, pass(table, {swapping.pid(), adding.pid()}));
    EXPECT_EQ(before, pass(table, {swapping.pid(), adding.pid()}));
    ::kill(swapping.pid(), SIGUSR1);
    ::kill(adding.pid(), SIGUSR1);
    const std::vector<Texts> after{{address("[::1]", port[1])},
                                   {address("0.0.0.0", port[3]), address("127.0.0.1", port[2])}};
    EXPECT_TRUE(waitFor([&] { return pass(table, {swapping.pid(), adding.pid()}) == after; }));
    EXPECT_EQ(after, pass(table, {swapping.pid(), adding.pid()}));
}

TEST(LinuxTcpTableOwnersTest, AListenerKeptByAForkedChildBelongsToEveryProcessAskedAbout) {
    TempDir dir;
    const int port = freeTcpPort();
    TestServer parent({"--listen", address("0.0.0.0", port), "--fork-keeper", dir.file("child")});
    const int child = pidFrom(dir.file("child"));
    ASSERT_GT(child, 0);
    const std::shared_ptr<void> endChild(nullptr, [child](void*) { killAndWait(child); });
    const Texts listening{address("0.0.0.0", port)};
    LinuxTcpTable table;
    // The socket is known from the parent when the child is first asked
    // about: no socket is new, the process is.
    EXPECT_EQ((std::vector<Texts>{listening}), pass(table, {parent.pid()}));
    EXPECT_EQ((std::vector<Texts>{listening}), pass(table, {child}));
    EXPECT_EQ((std::vector<Texts>{listening, listening}), pass(table, {parent.pid(), child}));
}

namespace {

// The calling thread (and the processes it starts) in a network namespace
// of its own, with its loopback up, while the object lives: no other
// process's sockets come or go there.
class PrivateNetwork {
public:
    PrivateNetwork() {
        saved_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (saved_ < 0 || ::unshare(CLONE_NEWNET) != 0) return;
        entered_ = true;
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        if (fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
            request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
            up_ = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
        }
        if (fd >= 0) ::close(fd);
    }
    ~PrivateNetwork() {
        if (entered_) ::setns(saved_, CLONE_NEWNET);
        if (saved_ >= 0) ::close(saved_);
    }
    bool ready() const { return entered_ && up_; }

private:
    int saved_ = -1;
    bool entered_ = false;
    bool up_ = false;
};

}  // namespace

TEST(LinuxTcpTableOwnersTest, DescriptorsAreReadOnlyWhenAListenerAppears) {
    PrivateNetwork network;
    if (!network.ready()) GTEST_SKIP() << "no network namespace of its own here (needs CAP_SYS_ADMIN)";
    const auto [a, b] = twoPorts();
    // Thousands of established connections: reading them at every pass is
    // what must not happen.
    TestServer busy({"--listen", address("127.0.0.1", a), "--hold-connections", "3000"});
    TestServer quiet({"--listen", address("[::1]", b)});
    const std::vector<Texts> expected{{address("127.0.0.1", a)}, {address("[::1]", b)}};
    LinuxTcpTable table;
    EXPECT_EQ(expected, pass(table, {busy.pid(), quiet.pid()}));
    EXPECT_EQ(2u, table.descriptorReads());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(expected, pass(table, {busy.pid(), quiet.pid()}));
    EXPECT_EQ(2u, table.descriptorReads());

    {
        // A listener of another process appears: whose it is, is learnt
        // once from each process asked about.
        OwnListener other;
        const Texts own{address("127.0.0.1", other.port())};
        EXPECT_EQ((std::vector<Texts>{expected[0], expected[1], own}),
                  pass(table, {busy.pid(), quiet.pid(), ::getpid()}));
        EXPECT_EQ(5u, table.descriptorReads());
        EXPECT_EQ((std::vector<Texts>{expected[0], expected[1], own}),
                  pass(table, {busy.pid(), quiet.pid(), ::getpid()}));
        EXPECT_EQ(5u, table.descriptorReads());
    }
    // It goes away: none of the servers held it, nothing is read.
    EXPECT_EQ(expected, pass(table, {busy.pid(), quiet.pid()}));
    EXPECT_EQ(5u, table.descriptorReads());
    // A process a few looks left out (its asker knew its answer, nothing
    // having changed) is still known; one they left out for long is read
    // again when it is next asked about: by then its ID may be another
    // process's.
    for (int i = 0; i < 3; ++i) EXPECT_EQ((std::vector<Texts>{expected[0]}), pass(table, {busy.pid()}));
    EXPECT_EQ(expected, pass(table, {busy.pid(), quiet.pid()}));
    EXPECT_EQ(5u, table.descriptorReads());
    for (int i = 0; i < 65; ++i) pass(table, {busy.pid()});
    EXPECT_EQ(expected, pass(table, {busy.pid(), quiet.pid()}));
    EXPECT_EQ(6u, table.descriptorReads());
}
