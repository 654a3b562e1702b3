#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ProcessControl.h"
#include "supervision/HealthCheck.h"

// Runs health checks on threads of its own and hands back only what they
// saw. A thread is added whenever every one is busy (up to a limit far
// above what a list of servers needs), so that checks due at the same time
// never wait behind a slow server; idle threads wait for the next check.
// The results are taken on the supervisor's thread, which `wake` (called
// from a worker) gets going.
class HealthCheckPool {
public:
    explicit HealthCheckPool(platform::ProcessControl& control);
    ~HealthCheckPool();
    HealthCheckPool(const HealthCheckPool&) = delete;
    HealthCheckPool& operator=(const HealthCheckPool&) = delete;

    // Called from a worker once a result is there; may be set at any time.
    void setWake(std::function<void()> wake);
    // Runs `check` under `ticket` (the caller's: a result whose ticket
    // nobody waits for any more is simply dropped by the caller).
    void submit(std::uint64_t ticket, HealthCheck check);
    // The results that came since the last call, with their tickets.
    void take(std::vector<std::pair<std::uint64_t, HealthCheckResult>>& results);
    // Threads made so far (benchmarks and tests).
    std::size_t threads() const;

private:
    void work();

    platform::ProcessControl& control_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<std::uint64_t, HealthCheck>> queue_;
    std::vector<std::pair<std::uint64_t, HealthCheckResult>> results_;
    std::vector<std::thread> threads_;
    std::size_t busy_ = 0;  // threads running a check
    bool ending_ = false;
    std::function<void()> wake_;
};
