#include "alerts/AlertChannels.h"

#include <future>

AlertChannels::~AlertChannels() { shutdown(std::chrono::steady_clock::now()); }

void AlertChannels::configure(const std::vector<WebhookSettingsData>& hooks) {
    std::vector<std::unique_ptr<WebhookChannel>> next;
    for (const WebhookSettingsData& hook : hooks) {
        std::unique_ptr<WebhookChannel> channel;
        for (auto& old : channels_)
            if (old && old->settings() == hook) channel = std::move(old);
        if (!channel) channel = std::make_unique<WebhookChannel>(hook, options_);
        next.push_back(std::move(channel));
    }
    // Those left in the old list have gone or changed.
    for (auto& old : channels_)
        if (old) old->shutdown(std::chrono::steady_clock::now());
    channels_ = std::move(next);
}

void AlertChannels::alert(const AlertEvent& event) {
    for (auto& channel : channels_) channel->alert(event);
}

void AlertChannels::wake() {
    for (auto& channel : channels_) channel->wake();
}

void AlertChannels::shutdown(std::chrono::steady_clock::time_point deadline) {
    std::vector<std::future<void>> ending;
    for (auto& channel : channels_)
        ending.push_back(std::async(std::launch::async, [&channel, deadline] { channel->shutdown(deadline); }));
    for (auto& end : ending) end.wait();
}

std::vector<std::shared_ptr<const ChannelCounters>> AlertChannels::counters() const {
    std::vector<std::shared_ptr<const ChannelCounters>> all;
    for (const auto& channel : channels_) all.push_back(channel->counters());
    return all;
}
