#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/LinuxTcpTable.h"
#include "tests/support/TestServer.h"

using platform::LinuxTcpTable;
using platform::TcpListener;
using Texts = std::vector<std::string>;

namespace {

std::string text(const TcpListener& listener) {
    const std::uint32_t a = listener.localAddress;
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF) + ":" + std::to_string(listener.localPort);
}

std::string address(const std::string& host, int port) { return host + ":" + std::to_string(port); }

// Two distinct free ports, the lower first.
std::pair<int, int> twoPorts() {
    int a = freeTcpPort(), b = freeTcpPort();
    while (b == a) b = freeTcpPort();
    return {std::min(a, b), std::max(a, b)};
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
        Texts texts;
        for (const auto& listener : out) texts.push_back(text(listener));
        return texts;
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

TEST_P(LinuxTcpTableTest, AnIpv6ListenerAloneListsNothing) {
    TestServer server({"--listen6", std::to_string(freeTcpPort())});
    EXPECT_EQ(Texts{}, listeners(server.pid()));
}

TEST_P(LinuxTcpTableTest, OtherProcessesSocketsAreNotCounted) {
    const auto [portA, portB] = twoPorts();
    TestServer a({"--listen", address("127.0.0.1", portA)});
    // b listens on its own port and holds a connection to a's port.
    TestServer b({"--listen", address("0.0.0.0", portB), "--connect", address("127.0.0.1", portA)});
    EXPECT_EQ((Texts{address("127.0.0.1", portA)}), listeners(a.pid()));
    EXPECT_EQ((Texts{address("0.0.0.0", portB)}), listeners(b.pid()));
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
    const auto [low, high] = twoPorts();
    const int third = freeTcpPort();
    TestServer server({"--listen", address("127.0.0.1", low), "--listen", address("0.0.0.0", high), "--listen",
                       address("127.0.0.1", third)});
    std::vector<std::uint64_t> inodes;
    ASSERT_TRUE(LinuxTcpTable::socketInodesOf(server.pid(), inodes));
    ASSERT_EQ(3u, inodes.size());

    // Each source lists the server's three sockets, with the same inodes.
    auto ownedBy = [&](const std::vector<LinuxTcpTable::Socket>& all) {
        Texts texts;
        for (const auto& socket : all)
            if (std::binary_search(inodes.begin(), inodes.end(), socket.inode))
                texts.push_back(text(TcpListener{socket.address, socket.port}) + "#" + std::to_string(socket.inode));
        std::sort(texts.begin(), texts.end());
        return texts;
    };
    std::vector<LinuxTcpTable::Socket> fromNetlink, fromProc;
    ASSERT_TRUE(LinuxTcpTable::netlinkListeners(fromNetlink));
    ASSERT_TRUE(LinuxTcpTable::procNetTcpListeners(fromProc));
    EXPECT_EQ(3u, ownedBy(fromNetlink).size());
    EXPECT_EQ(ownedBy(fromNetlink), ownedBy(fromProc));

    LinuxTcpTable netlink(LinuxTcpTable::Source::Netlink), proc(LinuxTcpTable::Source::ProcNetTcp);
    std::vector<TcpListener> a, b;
    ASSERT_TRUE(netlink.listenersOf(server.pid(), a));
    ASSERT_TRUE(proc.listenersOf(server.pid(), b));
    ASSERT_EQ(3u, a.size());
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(text(a[i]), text(b[i]));
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
