#pragma once
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The HTTP server's workers: a few threads take the accepted connections in
// turn. A connection that would make more than `limit` connections waiting
// or served at once is not queued: its task runs at once on the accepting
// thread, marked as turned away, so that the server answers it with a
// refusal and closes it instead of letting clients pile up descriptors.
// Each task knows when its connection was accepted, which is where the
// limit on a whole exchange counts from.
class BoundedTaskQueue : public httplib::TaskQueue {
public:
    BoundedTaskQueue(std::size_t threads, std::size_t limit);
    ~BoundedTaskQueue() override;

    void enqueue(std::function<void()> fn) override;
    // Runs what is queued (the server then closes each connection at once)
    // and ends the threads.
    void shutdown() override;

    // On the thread running a task: when its connection was accepted, and
    // whether it is one to turn away.
    static std::chrono::steady_clock::time_point acceptedAt();
    static bool turnedAway();

private:
    struct Job {
        std::function<void()> fn;
        std::chrono::steady_clock::time_point acceptedAt;
    };
    void work();

    const std::size_t limit_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    std::size_t running_ = 0;
    bool shutdown_ = false;
    std::vector<std::thread> threads_;
};
