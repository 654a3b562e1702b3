#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/ProcessControl.h"
#include "supervision/HealthCheck.h"

// Runs health checks beside the supervisor's thread and hands back only
// what they saw. A check that is one look over the network (tcp, http)
// goes to a prober that keeps every such look under way at once on one
// thread, reusing the connections it left open. The others (exec, memory
// readings) run on threads of their own: a thread is added whenever every
// one is busy (up to a limit far above what a list of servers needs), so
// that checks due at the same time never wait behind a slow server; idle
// threads wait for the next check. The results are taken on the
// supervisor's thread, which `wake` (called from a worker) gets going, once
// for all the results that came before it took them.
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
    // Runs checks that are due together: the prober takes their looks at
    // once.
    void submit(std::vector<std::pair<std::uint64_t, HealthCheck>> checks);
    // Gives up the check under `ticket`: a network look's connection is
    // closed at once; a check on a thread of its own runs to its end and
    // what it saw is dropped. Its result, if it came already, is dropped
    // from those not yet taken.
    void cancel(std::uint64_t ticket);
    // The results that came since the last call, with their tickets.
    void take(std::vector<std::pair<std::uint64_t, HealthCheckResult>>& results);
    // Threads made so far, the prober's included (benchmarks and tests).
    std::size_t threads() const;
    // Network looks under way (tests).
    std::size_t looksUnderWay() const;

private:
    void work();
    // Adds a result; wakes the loop when it is the first not yet taken.
    // Called with the lock held, which it may let go of meanwhile.
    void deliver(std::unique_lock<std::mutex>& lock, std::uint64_t ticket, HealthCheckResult result);
    void answered(platform::NetworkProber::Answers& answers);

    platform::ProcessControl& control_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<std::uint64_t, HealthCheck>> queue_;
    std::vector<std::pair<std::uint64_t, HealthCheckResult>> results_;
    std::vector<std::thread> threads_;
    // The checks whose looks the prober makes, kept for what their
    // answers are to be read against.
    std::map<std::uint64_t, HealthCheck> looks_;
    std::set<std::uint64_t> cancelled_;  // checks on threads that nobody awaits
    // Made with the first network look, and ended before the rest.
    std::unique_ptr<platform::NetworkProber> prober_;
    std::size_t busy_ = 0;  // threads running a check
    bool ending_ = false;
    std::function<void()> wake_;
};
