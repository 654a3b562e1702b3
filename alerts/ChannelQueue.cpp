#include "alerts/ChannelQueue.h"

#include <optional>

#include "log/AppLogger.h"

namespace {

std::string waitText(std::chrono::milliseconds wait) {
    const auto ms = wait.count();
    if (ms >= 60000 && ms % 60000 == 0) return std::to_string(ms / 60000) + " min";
    if (ms >= 1000 && ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

}  // namespace

// Shared with the thread, so that a thread left behind at shutdown never
// uses a destroyed object.
struct ChannelQueue::State {
    std::string channel;
    Options options;
    std::shared_ptr<ChannelCounters> counters;
    std::mutex mutex;
    std::condition_variable wake;  // a delivery arrived, or stop
    std::condition_variable idle;  // a delivery ended, or the thread did
    std::deque<Delivery> queue;
    bool inFlight = false;
    bool stop = false;
    bool running = false;
    std::atomic<bool> cancel{false};

    void giveUp(Delivery& delivery, const std::string& how) {
        AppLogger::Instance().get().error("{}: {}: {}", channel, how, delivery.what);
        ++counters->failed;
        if (delivery.done) delivery.done(how);
    }
};

ChannelQueue::ChannelQueue(std::string channel, Options options, std::shared_ptr<ChannelCounters> counters)
    : state_(std::make_shared<State>()) {
    state_->channel = std::move(channel);
    state_->options = std::move(options);
    if (state_->options.capacity == 0) state_->options.capacity = 1;
    state_->counters = std::move(counters);
    state_->running = true;
    thread_ = std::thread(run, state_);
}

ChannelQueue::~ChannelQueue() { shutdown(std::chrono::steady_clock::now()); }

void ChannelQueue::run(std::shared_ptr<State> state) {
    auto& log = AppLogger::Instance().get();
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return state->stop || !state->queue.empty(); });
        if (state->stop) break;
        Delivery delivery = std::move(state->queue.front());
        state->queue.pop_front();
        state->inFlight = true;
        std::size_t failures = 0;
        std::string error;
        for (;;) {
            lock.unlock();
            error = delivery.attempt(state->cancel);
            lock.lock();
            if (error.empty() || state->stop) break;
            if (failures == state->options.retryWaits.size()) break;
            const auto wait = state->options.retryWaits[failures++];
            log.error("{}: sending failed ({}); trying again in {}: {}", state->channel, error, waitText(wait),
                      delivery.what);
            // A stop ends the wait; nothing else does.
            if (state->wake.wait_for(lock, wait, [&] { return state->stop; })) break;
            ++state->counters->retried;
        }
        if (error.empty()) {
            ++state->counters->sent;
            log.info("{}: sent: {}", state->channel, delivery.what);
            lock.unlock();
            if (delivery.done) delivery.done({});
            lock.lock();
        } else if (state->stop) {
            lock.unlock();
            state->giveUp(delivery, "not sent before exit (" + error + ")");
            lock.lock();
        } else {
            lock.unlock();
            state->giveUp(delivery,
                          "given up after " + std::to_string(failures + 1) + " attempt(s), the last: " + error);
            lock.lock();
        }
        state->inFlight = false;
        state->idle.notify_all();
    }
    state->running = false;
    state->idle.notify_all();
}

void ChannelQueue::enqueue(Delivery delivery) {
    std::optional<Delivery> dropped;
    bool tooLate = false;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stop) {
            tooLate = true;
        } else {
            if (state_->queue.size() >= state_->options.capacity) {
                dropped = std::move(state_->queue.front());
                state_->queue.pop_front();
            }
            state_->queue.push_back(std::move(delivery));
            state_->wake.notify_one();
        }
    }
    if (dropped) {
        ++state_->counters->dropped;
        AppLogger::Instance().get().error("{}: the queue is full; dropped: {}", state_->channel, dropped->what);
        if (dropped->done) dropped->done("dropped: the queue is full");
    }
    if (tooLate) state_->giveUp(delivery, "not sent before exit");
}

void ChannelQueue::shutdown(std::chrono::steady_clock::time_point deadline) {
    std::deque<Delivery> left;
    std::unique_lock lock(state_->mutex);
    if (!thread_.joinable()) return;
    state_->idle.wait_until(lock, deadline, [&] { return state_->queue.empty() && !state_->inFlight; });
    left.swap(state_->queue);
    state_->stop = true;
    state_->cancel = true;
    state_->wake.notify_all();
    lock.unlock();
    for (Delivery& delivery : left) state_->giveUp(delivery, "not sent before exit");
    lock.lock();
    const bool ended = state_->idle.wait_for(lock, std::chrono::seconds(1), [&] { return !state_->running; });
    lock.unlock();
    if (ended) {
        thread_.join();
    } else {
        AppLogger::Instance().get().warn("{} did not stop in time and is left to end on its own", state_->channel);
        thread_.detach();
    }
}

bool ChannelQueue::waitIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    return state_->idle.wait_for(lock, limit, [&] { return state_->queue.empty() && !state_->inFlight; });
}
