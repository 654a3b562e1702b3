// Cost of supervision: one check pass over 99 servers (held and running, or
// one stopped so that the process table is walked), the growth of a pass
// with 1,000 idle processes more on the machine, the same pass with ten of
// the servers holding 2,000 established connections each, start-up with 99
// stopped servers, the time from kill -9 to the restarted server, and how
// long the loop's thread is held by a burst of 20 exits at once.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ProcessControl.h"
#include "platform/ProcessTable.h"
#include "platform/TcpTable.h"
#include "platform/linux/LinuxTcpTable.h"
#include "supervision/MachineLook.h"
#include "supervision/ProcessDiscovery.h"
#include "supervision/Supervisor.h"
#include "supervision/SystemClock.h"

#ifndef PROCWARD_TESTSERVER
#error "the supervision benchmarks need the test server program"
#endif

namespace {

using namespace std::chrono_literals;

const std::string kServer = PROCWARD_TESTSERVER;

// Child processes of the benchmark, ended and reaped when it goes.
class Children {
public:
    void start(const std::vector<std::string>& argv) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        pids_.push_back(pid);
    }
    ~Children() {
        for (const pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (const pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    }

private:
    std::vector<pid_t> pids_;
};

// 1,000 idle processes: the growth of a pass with the size of the table.
void startIdle(Children& children, int count) {
    for (int i = 0; i < count; ++i) children.start({"/bin/sleep", "3600"});
}

ServerEntry benchEntry(int index, int id, const std::string& more = {}) {
    return ServerEntry{index, "bench-" + std::to_string(id), "procward-testserver",
                       kServer + " --bench-id " + std::to_string(id) + more};
}

std::size_t processCount() {
    platform::ProcessSnapshot snapshot;
    platform::processTable().snapshot(snapshot);
    return snapshot.size();
}

SupervisionOptions benchOptions() {
    SupervisionOptions options;
    options.checkInterval = 1s;
    return options;
}

// 99 servers, the supervisor's own launches, each listening on a port of
// its own; the last `busy` of them hold `connections` established
// connections each, and `stopped` of them are then stopped with auto-start
// off, so each pass has to look for them.
struct Fleet {
    explicit Fleet(int stopped, int busy = 0, int connections = 0)
        : supervisor(SystemClock::Instance(), platform::processControl(), benchOptions()) {
        std::vector<ServerEntry> entries;
        for (int i = 1; i <= 99; ++i) {
            std::string more = " --listen 127.0.0.1:0";
            if (i > 99 - busy) more += " --hold-connections " + std::to_string(connections);
            entries.push_back(benchEntry(i, i, more));
        }
        supervisor.load(entries);
        bool allGone = false;
        for (int i = 1; i <= stopped; ++i) supervisor.stop(i);
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (!allGone && std::chrono::steady_clock::now() < end) {
            supervisor.runDue();
            allGone = true;
            for (int i = 1; i <= stopped; ++i) allGone = allGone && supervisor.find(i)->info().pid == 0;
        }
    }
    ~Fleet() {
        for (const auto& [index, server] : supervisor.servers())
            if (server->info().pid > 0) platform::processControl().terminate(server->info().pid);
    }
    Supervisor supervisor;
};

// Waits until every running server of the fleet shows a listen address.
bool allListening(Supervisor& supervisor) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
        supervisor.checkAll();
        bool all = true;
        for (const auto& [index, server] : supervisor.servers())
            all = all && (server->info().pid == 0 || !server->info().ports.empty());
        if (all) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void passBenchmark(benchmark::State& state, int stopped, int busy = 0, int connections = 0) {
    Children idle;
    startIdle(idle, static_cast<int>(state.range(0)));
    ::usleep(300000);
    Fleet fleet(stopped, busy, connections);
    if (fleet.supervisor.runningCount() != 99 - stopped) state.SkipWithError("the fleet did not start");
    if (!allListening(fleet.supervisor)) state.SkipWithError("a listen address is missing");
    const std::uint64_t walks = fleet.supervisor.processWalks();
    auto* tcp = dynamic_cast<platform::LinuxTcpTable*>(&platform::tcpTable());
    const std::uint64_t reads = tcp ? tcp->descriptorReads() : 0;
    for (auto _ : state) fleet.supervisor.checkAll();
    if (tcp)
        state.counters["fd_reads_per_pass"] =
            static_cast<double>(tcp->descriptorReads() - reads) / static_cast<double>(state.iterations());
    state.counters["processes"] = static_cast<double>(processCount());
    state.counters["walks_per_pass"] =
        static_cast<double>(fleet.supervisor.processWalks() - walks) / static_cast<double>(state.iterations());
    state.counters["running"] = fleet.supervisor.runningCount();
}

// Every server held and alive: no walk of the process table at all.
void BM_PassAllRunning(benchmark::State& state) { passBenchmark(state, 0); }
BENCHMARK(BM_PassAllRunning)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond)->MinTime(2);

// Ten of the 99 hold 2,000 established connections each (as a game server
// with players does): a pass should cost what it costs when they are idle.
void BM_PassTenBusy(benchmark::State& state) { passBenchmark(state, 0, 10, 2000); }
BENCHMARK(BM_PassTenBusy)->Arg(0)->Unit(benchmark::kMicrosecond)->MinTime(2);

// One server stopped with auto-start off: one walk per pass, shared.
void BM_PassOneStopped(benchmark::State& state) { passBenchmark(state, 1); }
BENCHMARK(BM_PassOneStopped)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond)->MinTime(2);

// One look-up in a fresh snapshot: the walk itself.
void BM_FindProcessWithWalk(benchmark::State& state) {
    Children idle;
    startIdle(idle, static_cast<int>(state.range(0)));
    Children server;
    server.start({kServer, "--bench-id", "0"});
    ::usleep(300000);
    MatchKeys keys;
    formMatchKeys("procward-testserver", kServer + " --bench-id 0", keys);
    for (auto _ : state) {
        MachineLook look(platform::processTable(), platform::tcpTable());
        benchmark::DoNotOptimize(findServerProcess(look, keys));
    }
    state.counters["processes"] = static_cast<double>(processCount());
}
BENCHMARK(BM_FindProcessWithWalk)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Start-up with 99 stopped servers: until every one is launched and shown
// (load), and until every listen address has been read (settled).
void BM_StartUp99(benchmark::State& state) {
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        Supervisor supervisor(SystemClock::Instance(), platform::processControl(), benchOptions());
        std::vector<ServerEntry> entries;
        for (int i = 1; i <= 99; ++i) entries.push_back(benchEntry(i, 500 + i));
        supervisor.load(entries);
        const auto launched = std::chrono::steady_clock::now();
        while (true) {
            bool settled = true;
            for (const auto& [index, server] : supervisor.servers()) settled = settled && !server->nextDue();
            if (settled) break;
            std::this_thread::sleep_until(supervisor.nextDue());
            supervisor.runDue();
        }
        const auto settled = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(launched - begin).count());
        state.counters["launched_ms"] = std::chrono::duration<double, std::milli>(launched - begin).count();
        state.counters["settled_ms"] = std::chrono::duration<double, std::milli>(settled - begin).count();
        state.counters["running"] = supervisor.runningCount();
        state.PauseTiming();
        for (const auto& [index, server] : supervisor.servers())
            if (server->info().pid > 0) platform::processControl().terminate(server->info().pid);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartUp99)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// kill -9 of a server that has run longer than the interval, to its
// restart, with the loop driven as the window-less mode drives it.
void BM_RestartLatency(benchmark::State& state) {
    Supervisor supervisor(SystemClock::Instance(), platform::processControl(), benchOptions());
    std::mutex mutex;
    std::condition_variable woken;
    bool wake = false;
    supervisor.watchExits([&] {
        std::lock_guard<std::mutex> lock(mutex);
        wake = true;
        woken.notify_all();
    });
    supervisor.load({benchEntry(1, 900)});
    std::vector<double> samples;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(1100ms);  // longer than the interval
        supervisor.runDue();
        const int old = supervisor.find(1)->info().pid;
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        ::kill(old, SIGKILL);
        while (supervisor.find(1)->info().pid == old || supervisor.find(1)->info().pid == 0) {
            std::unique_lock<std::mutex> lock(mutex);
            woken.wait_until(lock, std::min(supervisor.nextDue(), std::chrono::steady_clock::now() + 2s),
                             [&] { return wake; });
            wake = false;
            lock.unlock();
            supervisor.runDue();
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        samples.push_back(seconds * 1000);
        state.SetIterationTime(seconds);
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_ms"] = samples[samples.size() / 2];
    state.counters["max_ms"] = samples.back();
    if (const auto* server = supervisor.find(1); server && server->info().pid > 0)
        platform::processControl().terminate(server->info().pid);
}
BENCHMARK(BM_RestartLatency)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

// 20 of 99 servers killed at once: the longest the loop's thread is held
// in one go (what a window would stall for) until all 20 run again.
void BM_BurstOfTwentyExits(benchmark::State& state) {
    Supervisor supervisor(SystemClock::Instance(), platform::processControl(), benchOptions());
    std::vector<ServerEntry> entries;
    for (int i = 1; i <= 99; ++i) entries.push_back(benchEntry(i, 1100 + i));
    supervisor.load(entries);
    std::vector<double> longest;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(1100ms);  // longer than the interval: restarted at once
        supervisor.runDue();
        std::vector<int> old;
        for (int i = 1; i <= 20; ++i) old.push_back(supervisor.find(i)->info().pid);
        for (const int pid : old) ::kill(pid, SIGKILL);
        // Every one has ended before the loop looks (SIGKILL takes effect at once).
        std::this_thread::sleep_for(200ms);
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        double held = 0;
        auto allBack = [&] {
            for (int i = 1; i <= 20; ++i) {
                const int pid = supervisor.find(i)->info().pid;
                if (pid == 0 || pid == old[static_cast<std::size_t>(i - 1)]) return false;
            }
            return true;
        };
        while (!allBack() && std::chrono::steady_clock::now() - begin < 10s) {
            const auto call = std::chrono::steady_clock::now();
            supervisor.runDue();
            held = std::max(held, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - call).count());
            if (!allBack()) std::this_thread::sleep_until(std::min(supervisor.nextDue(), std::chrono::steady_clock::now() + 5ms));
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        longest.push_back(held);
    }
    std::sort(longest.begin(), longest.end());
    state.counters["held_max_ms"] = longest.back();
    state.counters["held_median_ms"] = longest[longest.size() / 2];
    state.counters["processes"] = static_cast<double>(processCount());
    for (const auto& [index, server] : supervisor.servers())
        if (server->info().pid > 0) platform::processControl().terminate(server->info().pid);
}
BENCHMARK(BM_BurstOfTwentyExits)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
