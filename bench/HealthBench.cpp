// Cost of health rules: the supervisor's CPU time per minute with 99
// servers, each with an HTTP rule checked every second, against the same
// servers without rules; and the time from a server's hang (SIGSTOP) to its
// restart by its rule (interval 1 s, timeout 1 s, 3 failures). The servers
// either close the connection after each answer or keep it open for the
// next request (keep-alive), as most HTTP servers do.
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
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

#include "config/ServerOptionsReader.h"
#include "platform/ProcessControl.h"
#include "supervision/Supervisor.h"
#include "supervision/SystemClock.h"

namespace {

using namespace std::chrono_literals;

const std::string kHealthServer = PROCWARD_TESTSERVER;

// `count` distinct free ports on 127.0.0.1: all are bound before any is
// released, so none is handed out twice.
std::vector<int> freePorts(int count) {
    std::vector<int> sockets, ports;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        sockets.push_back(fd);
        ports.push_back(ntohs(address.sin_port));
    }
    for (const int fd : sockets) ::close(fd);
    return ports;
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int processCount() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        n += !name.empty() && name[0] >= '0' && name[0] <= '9';
    }
    return n;
}

// The loop as the window-less mode runs it: it sleeps until something is
// due or a worker (exit watcher, health check) wakes it.
class Loop {
public:
    explicit Loop(Supervisor& supervisor) : supervisor_(supervisor) {
        auto wake = [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
            condition_.notify_all();
        };
        supervisor_.watchExits(wake);
        supervisor_.setWake(wake);
    }
    template <class F>
    bool runUntil(F done, std::chrono::steady_clock::duration limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::unique_lock<std::mutex> lock(mutex_);
            condition_.wait_until(lock, std::min(supervisor_.nextDue(), end), [&] { return woken_; });
            woken_ = false;
            lock.unlock();
            supervisor_.runDue();
        }
        return true;
    }

private:
    Supervisor& supervisor_;
    std::mutex mutex_;
    std::condition_variable condition_;
    bool woken_ = false;
};

HealthRule everySecond(int port) {
    HealthRule rule;
    SetHealthTarget(rule, HealthProbe::http, "http://127.0.0.1:" + std::to_string(port) + "/healthz");
    rule.interval = 1s;
    rule.timeout = 1s;
    rule.failures = 3;
    rule.grace = 0s;
    return rule;
}

ServerEntry httpServer(int index, int port, bool withRule, bool keepAlive = false) {
    ServerEntry entry{index, "health-" + std::to_string(index), "procward-testserver",
                      kHealthServer + " --health-bench " + std::to_string(index) + " --http 127.0.0.1:" +
                          std::to_string(port) + (keepAlive ? " --http-keep-alive 0" : "")};
    if (withRule) entry.options.health = everySecond(port);
    return entry;
}

SupervisionOptions options() {
    SupervisionOptions o;
    o.checkInterval = 1s;
    return o;
}

void endAll(Supervisor& supervisor) {
    for (const auto& [index, server] : supervisor.servers())
        if (server->info().pid > 0) platform::processControl().terminate(server->info().pid);
}

// Arg 0: 99 servers without rules; 1: each with an HTTP rule every 1 s,
// the server closing the connection after each answer; 2: the same with
// servers that keep it open. The loop runs for 20 s of real time; the
// counter is the CPU time of the whole supervisor (its loop, exit watcher
// and check threads) per minute.
void BM_HealthCpu(benchmark::State& state) {
    const bool withRules = state.range(0) >= 1;
    const bool keepAlive = state.range(0) == 2;
    for (auto _ : state) {
        Supervisor supervisor(SystemClock::Instance(), platform::processControl(), options());
        Loop loop(supervisor);
        std::vector<ServerEntry> entries;
        const std::vector<int> ports = freePorts(99);
        for (int i = 1; i <= 99; ++i) entries.push_back(httpServer(i, ports[static_cast<std::size_t>(i - 1)], withRules, keepAlive));
        supervisor.load(entries);
        // Settled and, with rules, every server found healthy once.
        const bool ready = loop.runUntil(
            [&] {
                for (const auto& [index, server] : supervisor.servers())
                    if (server->state() != ServerState::Running ||
                        (withRules && server->health() != HealthState::Healthy))
                        return false;
                return true;
            },
            60s);
        if (!ready) {
            int running = 0, healthy = 0;
            std::string reason;
            for (const auto& [index, server] : supervisor.servers()) {
                running += server->state() == ServerState::Running;
                healthy += server->health() == HealthState::Healthy;
                if (server->health() != HealthState::Healthy && reason.empty())
                    reason = std::string(healthStateName(server->health())) + " " + server->healthReason();
            }
            state.SkipWithError(("the servers did not come up healthy: " + std::to_string(running) + " running, " +
                                 std::to_string(healthy) + " healthy; " + reason)
                                    .c_str());
            endAll(supervisor);
            continue;
        }
        const std::uint64_t checksBefore = supervisor.healthChecks();
        const double cpuBefore = cpuSeconds();
        const auto begin = std::chrono::steady_clock::now();
        loop.runUntil([] { return false; }, 20s);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        const double cpu = cpuSeconds() - cpuBefore;
        state.SetIterationTime(wall);
        state.counters["cpu_s_per_min"] = cpu / wall * 60;
        state.counters["checks_per_s"] = static_cast<double>(supervisor.healthChecks() - checksBefore) / wall;
        state.counters["check_threads"] = static_cast<double>(supervisor.healthThreads());
        state.counters["processes"] = processCount();
        int healthy = 0;
        for (const auto& [index, server] : supervisor.servers()) healthy += server->health() == HealthState::Healthy;
        state.counters["healthy"] = healthy;
        endAll(supervisor);
    }
}
BENCHMARK(BM_HealthCpu)->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

// A server hung with SIGSTOP, to its restart by its HTTP rule (interval
// 1 s, timeout 1 s, 3 failures, the stop time-out 0: killed at once). Arg 1:
// the server keeps its connection open, so the first failed check is a
// request on a connection that answered a moment before.
void BM_HungToRestart(benchmark::State& state) {
    Supervisor supervisor(SystemClock::Instance(), platform::processControl(), options());
    Loop loop(supervisor);
    supervisor.load({httpServer(1, freePorts(1).front(), true, state.range(0) == 1)});
    const MonitoredServer& server = *supervisor.find(1);
    std::vector<double> samples;
    for (auto _ : state) {
        state.PauseTiming();
        if (!loop.runUntil([&] { return server.health() == HealthState::Healthy; }, 30s)) {
            state.SkipWithError("the server did not become healthy");
            break;
        }
        const int hung = server.info().pid;
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        ::kill(hung, SIGSTOP);
        if (!loop.runUntil([&] { return server.info().pid > 0 && server.info().pid != hung; }, 30s)) {
            state.SkipWithError("the hung server was not restarted");
            break;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        samples.push_back(seconds * 1000);
        state.SetIterationTime(seconds);
    }
    if (!samples.empty()) {
        std::sort(samples.begin(), samples.end());
        state.counters["median_ms"] = samples[samples.size() / 2];
        state.counters["max_ms"] = samples.back();
        state.counters["goal_ms"] = 1000 * 3 + 1000 + 0;
    }
    endAll(supervisor);
}
BENCHMARK(BM_HungToRestart)->Arg(0)->Arg(1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
