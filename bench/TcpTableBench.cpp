// Cost of finding a process's listening sockets through netlink sock_diag
// and through /proc/net/tcp, for a process with four listeners, on a quiet
// machine and with 500 more listening sockets elsewhere on it; and of the
// look-up pass of a check over 99 servers, with and without ten of them
// holding 2,000 established connections each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
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

// Opens `count` loopback connections to itself and keeps both ends.
void holdConnections(int count) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    const int listener = listenOnLoopback();
    sockaddr_in where{};
    socklen_t length = sizeof where;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length);
    for (int i = 0; i < count; ++i) {
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0 || ::connect(client, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
            ::accept(listener, nullptr, nullptr) < 0)
            ::_exit(2);
    }
    ::close(listener);
}

// A child process holding a few listening sockets (and, if asked, that many
// established connections) while it lives.
class Listener {
public:
    explicit Listener(int sockets, int connections = 0) {
        int ready[2];
        if (::pipe(ready) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            for (int i = 0; i < sockets; ++i) listenOnLoopback();
            holdConnections(connections);
            const char done = 1;
            (void)!::write(ready[1], &done, 1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char done = 0;
        const bool up = ::read(ready[0], &done, 1) == 1;
        ::close(ready[0]);
        if (!up) throw std::runtime_error("listener did not start");
    }
    ~Listener() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    int pid() const { return pid_; }

private:
    pid_t pid_ = 0;
};

// The processes on the machine.
std::size_t processCount() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        n += !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    }
    return n;
}

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

// The look-up of a check pass: one snapshot, then the listeners of each of
// 99 servers with one listener each, the table kept from pass to pass as
// the supervisor keeps it. Nothing changes between passes. The argument is
// the number of established connections held by each of ten of them.
void BM_LookUpPass99(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<Listener>> servers;
    for (int i = 0; i < 99; ++i) servers.push_back(std::make_unique<Listener>(1, i < 10 ? connections : 0));
    LinuxTcpTable table;
    std::vector<platform::TcpListener> out;
    // The first pass learns the owners.
    if (const auto first = table.snapshot())
        for (const auto& server : servers) first->listenersOf(server->pid(), out);
    const std::uint64_t reads = table.descriptorReads();
    for (auto _ : state) {
        const std::unique_ptr<platform::ListenerSnapshot> snapshot = table.snapshot();
        std::size_t found = 0;
        for (const auto& server : servers)
            if (snapshot && snapshot->listenersOf(server->pid(), out)) found += out.size();
        if (found != servers.size()) {
            state.SkipWithError("listeners not found");
            break;
        }
    }
    state.counters["processes"] = static_cast<double>(processCount());
    // Other processes' listeners that come and go meanwhile make the
    // servers' descriptors be read again.
    state.counters["fd_reads_per_pass"] =
        static_cast<double>(table.descriptorReads() - reads) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LookUpPass99)->Arg(0)->Arg(2000)->Unit(benchmark::kMicrosecond);

}  // namespace
