// One status-check pass over 20 servers on Windows (run under Wine here,
// whose speed says little about Windows itself).
#include <windows.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/ProcessControl.h"
#include "platform/ProcessTable.h"
#include "platform/TcpTable.h"
#include "supervision/MachineLook.h"
#include "supervision/ProcessDiscovery.h"
#include "supervision/Supervisor.h"
#include "supervision/SystemClock.h"

using namespace std::chrono_literals;

namespace {

constexpr int kServers = 20;

std::string programDirectory() {
    char path[MAX_PATH + 1] = {};
    std::string text(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
    return text.substr(0, text.find_last_of('\\'));
}

// The test server beside the benchmark program, under a name of its own.
const std::string& serverProgram() {
    static const std::string program = [] {
        const std::string target = programDirectory() + "\\benchsvr.exe";
        ::CopyFileA((programDirectory() + "\\procward-testserver.exe").c_str(), target.c_str(), FALSE);
        return target;
    }();
    return program;
}

ServerEntry benchEntry(int id) {
    return ServerEntry{id, "bench-" + std::to_string(id), "benchsvr", serverProgram() + " --bench-id " + std::to_string(id)};
}

struct Fleet {
    explicit Fleet(int stopped) : supervisor(SystemClock::Instance(), platform::processControl(), options()) {
        std::vector<ServerEntry> entries;
        for (int i = 1; i <= kServers; ++i) entries.push_back(benchEntry(i));
        supervisor.load(entries);
        for (int i = 1; i <= stopped; ++i) supervisor.stop(i);
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end && supervisor.runningCount() != kServers - stopped) {
            supervisor.runDue();
            ::Sleep(5);
        }
    }
    ~Fleet() {
        for (const auto& [index, server] : supervisor.servers())
            if (server->info().pid > 0) platform::processControl().terminate(server->info().pid);
    }
    static SupervisionOptions options() {
        SupervisionOptions o;
        o.checkInterval = 1s;
        return o;
    }
    Supervisor supervisor;
};

void passBenchmark(benchmark::State& state, int stopped) {
    Fleet fleet(stopped);
    if (fleet.supervisor.runningCount() != kServers - stopped) state.SkipWithError("the fleet did not start");
    const std::uint64_t walks = fleet.supervisor.processWalks();
    for (auto _ : state) fleet.supervisor.checkAll();
    platform::ProcessSnapshot snapshot;
    platform::processTable().snapshot(snapshot);
    state.counters["processes"] = static_cast<double>(snapshot.size());
    state.counters["walks_per_pass"] =
        static_cast<double>(fleet.supervisor.processWalks() - walks) / static_cast<double>(state.iterations());
    state.counters["running"] = fleet.supervisor.runningCount();
}

// Every server held and alive: each is only asked whether it still runs.
void BM_Pass20AllRunning(benchmark::State& state) { passBenchmark(state, 0); }
BENCHMARK(BM_Pass20AllRunning)->Unit(benchmark::kMicrosecond)->MinTime(2);

// One stopped: the pass walks the table once and reads the paths and the
// command lines of the 19 running candidates of the same file name.
void BM_Pass20OneStopped(benchmark::State& state) { passBenchmark(state, 1); }
BENCHMARK(BM_Pass20OneStopped)->Unit(benchmark::kMicrosecond)->MinTime(2);

// A look for one server from scratch among 20 of the same executable: a
// snapshot, then module paths and command lines out of the processes.
void BM_FindAmong20(benchmark::State& state) {
    Fleet fleet(0);
    MatchKeys keys;
    formMatchKeys("benchsvr", benchEntry(kServers).commandline, keys);
    for (auto _ : state) {
        MachineLook look(platform::processTable(), platform::tcpTable());
        benchmark::DoNotOptimize(findServerProcess(look, keys));
    }
}
BENCHMARK(BM_FindAmong20)->Unit(benchmark::kMicrosecond)->MinTime(2);

}  // namespace
