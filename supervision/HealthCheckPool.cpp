#include "supervision/HealthCheckPool.h"

#include <algorithm>

namespace {
// Far more than checks can be under way at once for a list of servers; at
// the limit further checks wait for a free thread.
constexpr std::size_t kMaxThreads = 256;
}  // namespace

HealthCheckPool::HealthCheckPool(platform::ProcessControl& control) : control_(control) {}

HealthCheckPool::~HealthCheckPool() {
    // The prober first: its looks end at once, and it hands over nothing
    // more (its thread may be inside `answered`, which needs the lock).
    std::unique_ptr<platform::NetworkProber> prober;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        prober.swap(prober_);
    }
    prober.reset();
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
    std::vector<std::pair<std::uint64_t, HealthCheck>> checks;
    checks.emplace_back(ticket, std::move(check));
    submit(std::move(checks));
}

void HealthCheckPool::submit(std::vector<std::pair<std::uint64_t, HealthCheck>> checks) {
    platform::NetworkProber::Requests requests;
    platform::NetworkProber* prober = nullptr;
    std::size_t queued = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ending_) return;
        for (auto& [ticket, check] : checks) {
            if (isNetworkLook(check)) {
                requests.emplace_back(ticket, probeRequestOf(check));
                looks_.emplace(ticket, std::move(check));
            } else {
                queue_.emplace_back(ticket, std::move(check));
                ++queued;
                if (threads_.size() - busy_ < queue_.size() && threads_.size() < kMaxThreads)
                    threads_.emplace_back([this] { work(); });
            }
        }
        if (!requests.empty() && !prober_)
            prober_ = platform::makeNetworkProber([this](platform::NetworkProber::Answers& answers) { answered(answers); });
        prober = prober_.get();
    }
    for (std::size_t i = 0; i < queued; ++i) ready_.notify_one();
    // The prober is only ever ended by the destructor, which does not run
    // while the supervisor's thread is here.
    if (!requests.empty()) prober->start(std::move(requests));
}

void HealthCheckPool::cancel(std::uint64_t ticket) {
    platform::NetworkProber* prober = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto same = [ticket](const auto& entry) { return entry.first == ticket; };
        const std::size_t before = results_.size();
        results_.erase(std::remove_if(results_.begin(), results_.end(), same), results_.end());
        if (results_.size() != before) return;  // it came already
        if (looks_.erase(ticket)) {
            prober = prober_.get();
        } else if (const auto queued = std::find_if(queue_.begin(), queue_.end(), same); queued != queue_.end()) {
            queue_.erase(queued);
        } else {
            cancelled_.insert(ticket);
        }
    }
    if (prober) prober->cancel(ticket);
}

void HealthCheckPool::take(std::vector<std::pair<std::uint64_t, HealthCheckResult>>& results) {
    std::lock_guard<std::mutex> lock(mutex_);
    results.swap(results_);
    results_.clear();
}

std::size_t HealthCheckPool::threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.size() + (prober_ ? 1 : 0);
}

std::size_t HealthCheckPool::looksUnderWay() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return prober_ ? prober_->underWay() : 0;
}

void HealthCheckPool::deliver(std::unique_lock<std::mutex>& lock, std::uint64_t ticket, HealthCheckResult result) {
    // One wake for results that come while the loop has not yet taken the
    // last ones: it takes them all at once.
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

void HealthCheckPool::answered(platform::NetworkProber::Answers& answers) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool first = results_.empty();
    for (const auto& [ticket, answer] : answers) {
        const auto look = looks_.find(ticket);
        // Cancelled meanwhile: nobody awaits it.
        if (look == looks_.end()) continue;
        results_.emplace_back(ticket, resultOf(look->second, answer));
        looks_.erase(look);
    }
    if (first && !results_.empty() && wake_) {
        const std::function<void()> wake = wake_;
        lock.unlock();
        wake();
    }
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
        if (cancelled_.erase(ticket)) continue;
        deliver(lock, ticket, std::move(result));
    }
}
