#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "alerts/ChannelMessage.h"
#include "alerts/ChannelSchedule.h"
#include "alerts/PostOutcome.h"
#include "config/WebhookSettingsData.h"
#include "mail/ChannelCounters.h"
#include "supervision/AlertSink.h"

// One [WEBHOOK.<name>] channel: the alerts its EVENTS= list selects are
// posted by its own thread, as its ChannelSchedule decides (at once, in a
// digest, within the robot's budget, again after a failure), each cut to
// the robot's size. Alerts arrive on the supervisor's thread, which never
// waits for a post. Its times are the mail clock's (MailClock), so a test
// that moves that clock calls wake() to have it looked at again.
class WebhookChannel : public AlertSink {
public:
    struct Options {
        // The waits before a failed post is tried again; an alert is given
        // up once it has failed for as long as they add up to.
        std::vector<std::chrono::milliseconds> retryWaits{std::chrono::seconds(10), std::chrono::seconds(30),
                                                          std::chrono::minutes(2), std::chrono::minutes(10)};
    };

    WebhookChannel(WebhookSettingsData settings, Options options);
    explicit WebhookChannel(WebhookSettingsData settings) : WebhookChannel(std::move(settings), Options{}) {}
    ~WebhookChannel() override;
    WebhookChannel(const WebhookChannel&) = delete;
    WebhookChannel& operator=(const WebhookChannel&) = delete;

    void alert(const AlertEvent& event) override;

    // Sends `message` once, now, on the calling thread (no schedule, no
    // retry): the operator's test. Returns why it failed; empty when the
    // service took it. `trace` receives the HTTP exchange, secrets masked.
    std::string sendNow(const ChannelMessage& message, const std::function<void(const std::string&)>& trace = {}) const;

    // Looks at the schedule again (after a test moved the clock).
    void wake();
    // Alerts no longer wait for intervals or retries; the posts go on until
    // `deadline`, then the one under way is cancelled and every alert left
    // is logged as not sent. Returns when the thread has ended (or a second
    // after the cancel, leaving it to end on its own).
    void shutdown(std::chrono::steady_clock::time_point deadline);

    // Waits until nothing waits and no post is under way, at most `limit`.
    bool waitIdle(std::chrono::milliseconds limit);
    // Waits until the thread has done all that is due at the clock's time
    // (what waits, waits for a later time or a new alert), at most `limit`.
    bool waitSettled(std::chrono::milliseconds limit);

    const WebhookSettingsData& settings() const { return settings_; }
    std::shared_ptr<const ChannelCounters> counters() const { return counters_; }
    // Alerts not yet named in a delivered post.
    std::size_t unsentCount() const;
    // "Webhook <name>", as the log names it.
    const std::string& logName() const { return logName_; }

private:
    struct State;
    static void run(std::shared_ptr<State> state);
    // One attempt of `message`, made now (a signature holds the time).
    static PostOutcome attempt(const WebhookSettingsData& settings, const ChannelMessage& message,
                               const std::atomic<bool>* cancel, const std::function<void(const std::string&)>& trace);

    WebhookSettingsData settings_;
    std::string logName_;
    std::shared_ptr<ChannelCounters> counters_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};
