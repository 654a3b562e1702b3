#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// How the alerts of one channel fared since the program started, for the
// metrics: posts delivered, refused for good and tried again; alerts that
// could not be sent and alerts folded into a digest. Counted from the
// channel's threads; read from any.
struct ChannelCounters {
    explicit ChannelCounters(std::string channel) : name(std::move(channel)) {}

    const std::string name;
    std::atomic<std::uint64_t> sent{0};      // posts the service took
    std::atomic<std::uint64_t> failed{0};    // alerts that could not be sent
    std::atomic<std::uint64_t> retried{0};   // posts to be tried again after a failure
    std::atomic<std::uint64_t> refused{0};   // posts the service refused for good
    std::atomic<std::uint64_t> digested{0};  // alerts posted in a digest rather than alone

    // The service's words of its last refusal, and when (seconds since 1970).
    void refusal(std::string words, std::int64_t when) {
        std::lock_guard lock(mutex_);
        lastRefusal_ = std::move(words);
        lastRefusalTime_ = when;
    }
    std::string lastRefusal(std::int64_t& when) const {
        std::lock_guard lock(mutex_);
        when = lastRefusalTime_;
        return lastRefusal_;
    }

private:
    mutable std::mutex mutex_;
    std::string lastRefusal_;
    std::int64_t lastRefusalTime_ = 0;
};
