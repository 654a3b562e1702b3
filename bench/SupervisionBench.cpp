// Cost of recognising servers in the process table: one findProcess, and one
// status-check pass over 99 configured servers of which a third run.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ProcessTable.h"
#include "supervision/MonitoredServer.h"

#ifndef PROCWARD_TESTSERVER
#error "the supervision benchmarks need the test server program"
#endif

namespace {

const std::string kServer = PROCWARD_TESTSERVER;

class RunningServers {
public:
    explicit RunningServers(int count) {
        for (int i = 0; i < count; ++i) {
            const std::string id = std::to_string(i);
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::execl(kServer.c_str(), kServer.c_str(), "--bench-id", id.c_str(), nullptr);
                ::_exit(127);
            }
            pids_.push_back(pid);
        }
        ::usleep(200000);  // let them replace the forked children
    }
    ~RunningServers() {
        for (const pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> pids_;
};

void configure(MonitoredServer& server, int id) {
    server.info.name = "bench-" + std::to_string(id);
    server.info.processname = "procward-testserver";
    server.info.commandline = kServer + " --bench-id " + std::to_string(id);
}

std::size_t processCount() {
    platform::ProcessSnapshot snapshot;
    platform::processTable().snapshot(snapshot);
    return snapshot.size();
}

void BM_FindProcess(benchmark::State& state) {
    RunningServers running(1);
    MonitoredServer server;
    configure(server, 0);
    if (server.findProcess() == 0) state.SkipWithError("test server not found");
    for (auto _ : state) benchmark::DoNotOptimize(server.findProcess());
    state.counters["processes"] = static_cast<double>(processCount());
}
BENCHMARK(BM_FindProcess)->Unit(benchmark::kMicrosecond);

void BM_StatusCheckPass99(benchmark::State& state) {
    constexpr int kServers = 99, kRunning = 33;
    RunningServers running(kRunning);
    std::map<int, MonitoredServer> servers;
    for (int i = 1; i <= kServers; ++i) {
        MonitoredServer& server = servers[i];
        // Every third one runs; the others are stopped with auto-start off,
        // so the pass launches nothing.
        configure(server, i % 3 == 0 ? i / 3 - 1 : 1000 + i);
        server.info.index = i;
        server.autoStart = false;
    }
    for (auto& [index, server] : servers) server.checkStatus();
    int found = 0;
    for (auto& [index, server] : servers) found += server.info.pid > 0;
    if (found != kRunning) state.SkipWithError("not every running server was found");
    for (auto _ : state)
        for (auto& [index, server] : servers) benchmark::DoNotOptimize(server.checkStatus());
    state.counters["processes"] = static_cast<double>(processCount());
    state.counters["running"] = found;
}
BENCHMARK(BM_StatusCheckPass99)->Unit(benchmark::kMillisecond);

}  // namespace
