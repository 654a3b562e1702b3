#include "platform/NetworkProber.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

namespace platform {

namespace {

// Far more than looks can be under way at once for a list of servers.
constexpr std::size_t kMaxThreads = 256;

// WinHTTP's calls block, so each look under way has a thread of its own,
// taken from those that are idle or added when every one is busy; a slow
// server thus holds up no other look. A cancelled look's call runs to its
// own limit, and what it found is dropped.
class Win32NetworkProber final : public NetworkProber {
public:
    explicit Win32NetworkProber(Done done) : done_(std::move(done)) {}

    ~Win32NetworkProber() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
            queue_.clear();
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

    void start(Requests requests) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& request : requests) {
                queue_.push_back(std::move(request));
                ++underWay_;
                if (threads_.size() - busy_ < queue_.size() && threads_.size() < kMaxThreads)
                    threads_.emplace_back([this] { work(); });
            }
        }
        ready_.notify_all();
    }

    void cancel(std::uint64_t ticket) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = queue_.begin(); it != queue_.end(); ++it)
            if (it->first == ticket) {
                queue_.erase(it);
                --underWay_;
                return;
            }
        if (running_.count(ticket)) cancelled_.insert(ticket);
    }

    std::size_t underWay() const override { return underWay_.load(); }

private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return ending_ || !queue_.empty(); });
            if (ending_) return;
            auto [ticket, request] = std::move(queue_.front());
            queue_.pop_front();
            ++busy_;
            running_.insert(ticket);
            lock.unlock();
            ProbeAnswer answer;
            if (request.http) {
                answer = probeHttp(request.host, request.port, request.path, request.limit, request.maxBody);
            } else {
                const ConnectProbe connect = probeConnect(request.host, request.port, request.limit);
                answer.end = connect.end;
                answer.error = connect.error;
            }
            lock.lock();
            --busy_;
            --underWay_;
            running_.erase(ticket);
            if (ending_) return;
            if (cancelled_.erase(ticket)) continue;
            Answers answers;
            answers.emplace_back(ticket, std::move(answer));
            // Handed over without the lock: the receiver may take locks of
            // its own, and may start or cancel looks.
            lock.unlock();
            done_(answers);
            lock.lock();
        }
    }

    Done done_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<std::uint64_t, ProbeRequest>> queue_;
    std::set<std::uint64_t> running_, cancelled_;
    std::vector<std::thread> threads_;
    std::size_t busy_ = 0;
    bool ending_ = false;
    std::atomic<std::size_t> underWay_{0};
};

}  // namespace

std::unique_ptr<NetworkProber> makeNetworkProber(NetworkProber::Done done) {
    return std::make_unique<Win32NetworkProber>(std::move(done));
}

}  // namespace platform
