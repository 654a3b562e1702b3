#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mail/ChannelCounters.h"

// The thread of one alert channel, so that nobody who raises an alert waits
// for a chat service. Deliveries wait in a bounded queue and go out one
// after the other, in order; one that fails is tried again after growing
// waits (10 s, 30 s, 2 min, 10 min), and after the last it is given up,
// logged with its alert. A full queue drops its oldest delivery, logged.
// At shutdown what is still waiting gets a grace, then the attempt under
// way is cancelled and every delivery left is logged as not sent.
class ChannelQueue {
public:
    struct Options {
        std::size_t capacity = 32;
        std::vector<std::chrono::milliseconds> retryWaits{std::chrono::seconds(10), std::chrono::seconds(30),
                                                         std::chrono::minutes(2), std::chrono::minutes(10)};
    };

    // One thing to send. `attempt` sends it once, on the channel's thread,
    // and returns why it failed (empty: it was delivered); `cancel` turns
    // true when it must end at once.
    struct Delivery {
        std::string what;  // for the log: the alert's text
        std::function<std::string(const std::atomic<bool>& cancel)> attempt;
        // Called once with the outcome (empty: sent), on the channel's
        // thread or the one that drops or gives it up.
        std::function<void(const std::string& error)> done;
    };

    // `channel` names it in the log ("Webhook ops"), `counters` counts.
    ChannelQueue(std::string channel, Options options, std::shared_ptr<ChannelCounters> counters);
    // Shuts down without grace.
    ~ChannelQueue();
    ChannelQueue(const ChannelQueue&) = delete;
    ChannelQueue& operator=(const ChannelQueue&) = delete;

    // Queues a delivery and returns at once; any thread.
    void enqueue(Delivery delivery);

    // Lets the deliveries go on until `deadline`, then cancels the one under
    // way and gives up the rest, each logged. Returns when the thread has
    // ended (or a second after the cancel, leaving it to end on its own).
    void shutdown(std::chrono::steady_clock::time_point deadline);

    // Waits until nothing is waiting or under way, at most `limit`.
    bool waitIdle(std::chrono::milliseconds limit);

private:
    struct State;
    static void run(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};
