// Cost of finding a process's listening sockets through netlink sock_diag
// and through /proc/net/tcp, for a process with four listeners, on a quiet
// machine and with 500 more listening sockets elsewhere on it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/linux/LinuxTcpTable.h"

namespace {

using platform::LinuxTcpTable;

int listenOnLoopback() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(fd, 4) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    return fd;
}

// A child process holding a few listening sockets while it lives.
class Listener {
public:
    explicit Listener(int sockets) {
        int ready[2];
        if (::pipe(ready) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            for (int i = 0; i < sockets; ++i) listenOnLoopback();
            const char done = 1;
            (void)!::write(ready[1], &done, 1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char done = 0;
        (void)!::read(ready[0], &done, 1);
        ::close(ready[0]);
    }
    ~Listener() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    int pid() const { return pid_; }

private:
    pid_t pid_ = 0;
};

// Sockets that load the machine's table without belonging to the process
// looked at.
class Crowd {
public:
    explicit Crowd(int count) {
        for (int i = 0; i < count; ++i) fds_.push_back(listenOnLoopback());
    }
    ~Crowd() {
        for (const int fd : fds_) ::close(fd);
    }

private:
    std::vector<int> fds_;
};

void BM_ListenersOf(benchmark::State& state, LinuxTcpTable::Source source) {
    Listener server(4);
    Crowd crowd(static_cast<int>(state.range(0)));  // after the fork: not the server's
    LinuxTcpTable table(source);
    std::vector<platform::TcpListener> out;
    for (auto _ : state) {
        if (!table.listenersOf(server.pid(), out) || out.size() != 4) {
            state.SkipWithError("listeners not found");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK_CAPTURE(BM_ListenersOf, Netlink, LinuxTcpTable::Source::Netlink)->Arg(0)->Arg(500)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ListenersOf, ProcNetTcp, LinuxTcpTable::Source::ProcNetTcp)->Arg(0)->Arg(500)->Unit(benchmark::kMicrosecond);

// The parts: the machine's listening sockets from each source, and the
// process's socket inodes.
void BM_NetlinkListeners(benchmark::State& state) {
    Crowd crowd(static_cast<int>(state.range(0)));
    std::vector<LinuxTcpTable::Socket> sockets;
    for (auto _ : state) benchmark::DoNotOptimize(LinuxTcpTable::netlinkListeners(sockets));
    state.counters["sockets"] = static_cast<double>(sockets.size());
}
BENCHMARK(BM_NetlinkListeners)->Arg(0)->Arg(500)->Unit(benchmark::kMicrosecond);

void BM_ProcNetTcpListeners(benchmark::State& state) {
    Crowd crowd(static_cast<int>(state.range(0)));
    std::vector<LinuxTcpTable::Socket> sockets;
    for (auto _ : state) benchmark::DoNotOptimize(LinuxTcpTable::procNetTcpListeners(sockets));
    state.counters["sockets"] = static_cast<double>(sockets.size());
}
BENCHMARK(BM_ProcNetTcpListeners)->Arg(0)->Arg(500)->Unit(benchmark::kMicrosecond);

void BM_SocketInodesOf(benchmark::State& state) {
    Listener server(4);
    std::vector<std::uint64_t> inodes;
    for (auto _ : state) benchmark::DoNotOptimize(LinuxTcpTable::socketInodesOf(server.pid(), inodes));
}
BENCHMARK(BM_SocketInodesOf)->Unit(benchmark::kMicrosecond);

}  // namespace
