#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "alerts/ChannelMessage.h"
#include "alerts/ChannelQueue.h"
#include "config/WebhookSettingsData.h"
#include "mail/ChannelCounters.h"
#include "supervision/AlertSink.h"

// One [WEBHOOK.<name>] channel: the alerts its EVENTS= list selects are
// posted through its own queue and thread, no more often than its minimum
// interval allows; the alerts that interval holds back are gathered and
// posted as one digest once the interval has passed. Alerts arrive on the
// supervisor's thread, which never waits for a post.
class WebhookChannel : public AlertSink {
public:
    WebhookChannel(WebhookSettingsData settings, ChannelQueue::Options options = {});
    ~WebhookChannel() override;

    void alert(const AlertEvent& event) override;

    // When the digest of the alerts held back is due (seconds since 1970),
    // while any is.
    std::optional<std::int64_t> digestDue() const;
    // Queues the digest when it is due at `now`; true when one was queued.
    bool sendDigest(std::int64_t now);

    // Sends `message` once, now, on the calling thread (no queue, no
    // retry): the operator's test. Returns why it failed; empty when the
    // service took it. `trace` receives the HTTP exchange, secrets masked.
    std::string sendNow(const ChannelMessage& message,
                        const std::function<void(const std::string&)>& trace = {}) const;

    // See ChannelQueue::shutdown.
    void shutdown(std::chrono::steady_clock::time_point deadline) { queue_.shutdown(deadline); }
    bool waitIdle(std::chrono::milliseconds limit) { return queue_.waitIdle(limit); }

    const WebhookSettingsData& settings() const { return settings_; }
    std::shared_ptr<const ChannelCounters> counters() const { return counters_; }
    // "Webhook <name>", as the log names it.
    const std::string& logName() const { return logName_; }

private:
    // One attempt: the post made at this moment (a signature holds the
    // time), sent; why it failed, or empty.
    std::string attempt(const ChannelMessage& message, const std::atomic<bool>* cancel,
                        const std::function<void(const std::string&)>& trace) const;
    void queue(ChannelMessage message);

    WebhookSettingsData settings_;
    std::string logName_;
    std::shared_ptr<ChannelCounters> counters_;
    // When the last alert was posted (seconds since 1970): until the
    // minimum interval has passed from it, alerts wait for the digest, also
    // those of the same second.
    std::optional<std::int64_t> lastPosted_;
    std::vector<AlertEvent> heldBack_;
    ChannelQueue queue_;
};
