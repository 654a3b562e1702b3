#include "supervision/HealthCheckPool.h"

namespace {
// Far more than checks can be under way at once for a list of servers; at
// the limit further checks wait for a free thread.
constexpr std::size_t kMaxThreads = 256;
}  // namespace

HealthCheckPool::HealthCheckPool(platform::ProcessControl& control) : control_(control) {}

HealthCheckPool::~HealthCheckPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
        queue_.clear();
    }
    ready_.notify_all();
    // A check under way ends within its own time-out.
    for (std::thread& thread : threads_) thread.join();
}

void HealthCheckPool::setWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

void HealthCheckPool::submit(std::uint64_t ticket, HealthCheck check) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.emplace_back(ticket, std::move(check));
        if (threads_.size() - busy_ < queue_.size() && threads_.size() < kMaxThreads) threads_.emplace_back([this] { work(); });
    }
    ready_.notify_one();
}

void HealthCheckPool::take(std::vector<std::pair<std::uint64_t, HealthCheckResult>>& results) {
    std::lock_guard<std::mutex> lock(mutex_);
    results.swap(results_);
    results_.clear();
}

std::size_t HealthCheckPool::threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.size();
}

void HealthCheckPool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return ending_ || !queue_.empty(); });
        if (ending_) return;
        auto [ticket, check] = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        HealthCheckResult result = runHealthCheck(check, control_);
        lock.lock();
        --busy_;
        if (ending_) return;
        // One wake for results that come while the loop has not yet taken
        // the last ones: it takes them all at once.
        const bool first = results_.empty();
        results_.emplace_back(ticket, std::move(result));
        if (first && wake_) {
            // Called without the lock: the wake may take locks of its own.
            const std::function<void()> wake = wake_;
            lock.unlock();
            wake();
            lock.lock();
        }
    }
}
