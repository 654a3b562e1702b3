#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "alerts/WebhookChannel.h"
#include "supervision/AlertSink.h"

// The webhook channels of procward.ini as one alert sink: every alert goes
// to each channel, which takes what its EVENTS= list selects.
class AlertChannels : public AlertSink {
public:
    explicit AlertChannels(ChannelQueue::Options options = {}) : options_(std::move(options)) {}
    ~AlertChannels() override;

    // The channels of `hooks`: one whose settings are unchanged goes on as
    // it is (queue, interval and digest); the others are made anew, and a
    // channel that has gone is shut down at once, logging what it had not
    // sent.
    void configure(const std::vector<WebhookSettingsData>& hooks);

    void alert(const AlertEvent& event) override;

    // The earliest moment (seconds since 1970) a channel's digest is due.
    std::optional<std::int64_t> digestDue() const;
    // Queues every digest due at `now`.
    void sendDigests(std::int64_t now);

    // Every channel's deliveries go on until `deadline`, side by side; then
    // what is left is logged as not sent.
    void shutdown(std::chrono::steady_clock::time_point deadline);

    const std::vector<std::unique_ptr<WebhookChannel>>& channels() const { return channels_; }
    std::vector<std::shared_ptr<const ChannelCounters>> counters() const;

private:
    ChannelQueue::Options options_;
    std::vector<std::unique_ptr<WebhookChannel>> channels_;
};
