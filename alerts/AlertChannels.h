#pragma once
#include <chrono>
#include <memory>
#include <vector>

#include "alerts/WebhookChannel.h"
#include "supervision/AlertSink.h"

// The webhook channels of procward.ini as one alert sink: every alert goes
// to each channel, which takes what its EVENTS= list selects and posts it
// on its own thread, digests and retries included.
class AlertChannels : public AlertSink {
public:
    explicit AlertChannels(WebhookChannel::Options options = {}) : options_(std::move(options)) {}
    ~AlertChannels() override;

    // The channels of `hooks`: one whose settings are unchanged goes on as
    // it is (what waits, its budget, its digest); the others are made anew,
    // and a channel that has gone is shut down at once, logging what it had
    // not sent.
    void configure(const std::vector<WebhookSettingsData>& hooks);

    void alert(const AlertEvent& event) override;

    // Has every channel look at its schedule again (after a test moved the
    // mail clock).
    void wake();

    // Every channel's posts go on until `deadline`, side by side; then what
    // is left is logged as not sent.
    void shutdown(std::chrono::steady_clock::time_point deadline);

    const std::vector<std::unique_ptr<WebhookChannel>>& channels() const { return channels_; }
    std::vector<std::shared_ptr<const ChannelCounters>> counters() const;

private:
    WebhookChannel::Options options_;
    std::vector<std::unique_ptr<WebhookChannel>> channels_;
};
