#include "app/metrics/BoundedTaskQueue.h"

namespace {
thread_local std::chrono::steady_clock::time_point t_acceptedAt;
thread_local bool t_turnedAway = false;
}  // namespace

BoundedTaskQueue::BoundedTaskQueue(std::size_t threads, std::size_t limit) : limit_(limit) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

BoundedTaskQueue::~BoundedTaskQueue() { shutdown(); }

void BoundedTaskQueue::enqueue(std::function<void()> fn) {
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_.size() + running_ < limit_) {
            jobs_.push_back(Job{std::move(fn), now});
            ready_.notify_one();
            return;
        }
    }
    t_acceptedAt = now;
    t_turnedAway = true;
    fn();
    t_turnedAway = false;
}

void BoundedTaskQueue::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
    }
    ready_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
}

std::chrono::steady_clock::time_point BoundedTaskQueue::acceptedAt() { return t_acceptedAt; }

bool BoundedTaskQueue::turnedAway() { return t_turnedAway; }

void BoundedTaskQueue::work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
            if (jobs_.empty()) return;  // shut down, and nothing left
            job = std::move(jobs_.front());
            jobs_.pop_front();
            ++running_;
        }
        t_acceptedAt = job.acceptedAt;
        job.fn();
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
    }
}
