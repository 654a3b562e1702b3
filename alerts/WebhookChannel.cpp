#include "alerts/WebhookChannel.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "alerts/AlertText.h"
#include "alerts/WebhookFormat.h"
#include "log/AppLogger.h"
#include "mail/MailClock.h"
#include "platform/HttpClient.h"
#include "supervision/ServerOutputFile.h"

namespace {

// As many of a server's last lines as an alert mail quotes by default.
constexpr std::size_t kOutputLines = 20;

ChannelSchedule::Options scheduleOptions(const WebhookSettingsData& settings, const WebhookChannel::Options& options) {
    ChannelSchedule::Options schedule;
    schedule.minIntervalMs = static_cast<std::int64_t>(std::max(settings.minInterval, 0)) * 1000;
    schedule.budget = PostBudgetOf(settings);
    schedule.retryWaits = options.retryWaits;
    return schedule;
}

}  // namespace

// Shared with the thread, so that a thread left behind at shutdown never
// uses a destroyed object.
struct WebhookChannel::State {
    State(const WebhookSettingsData& hook, ChannelSchedule::Options options, const std::string& logName,
          std::shared_ptr<ChannelCounters> counters)
        : settings(hook),
          schedule(logName, std::move(options), std::move(counters),
                   [hook](const ChannelMessage& message) { return WebhookFormat::fits(hook, message); }) {}

    const WebhookSettingsData settings;
    std::mutex mutex;
    std::condition_variable wake;  // an alert, a wake(), stop
    std::condition_variable idle;  // the thread has looked at all that is due, or it ended
    ChannelSchedule schedule;
    std::uint64_t generation = 0;               // moved on by every alert and wake()
    std::uint64_t settled = ~std::uint64_t{0};  // the generation the thread last had nothing due for
    bool stop = false;
    bool running = true;
    std::atomic<bool> cancel{false};
};

WebhookChannel::WebhookChannel(WebhookSettingsData settings, Options options)
    : settings_(std::move(settings)),
      logName_("Webhook " + settings_.name),
      counters_(std::make_shared<ChannelCounters>(settings_.name)),
      state_(std::make_shared<State>(settings_, scheduleOptions(settings_, options), logName_, counters_)) {
    thread_ = std::thread(run, state_);
}

WebhookChannel::~WebhookChannel() { shutdown(std::chrono::steady_clock::now()); }

void WebhookChannel::run(std::shared_ptr<State> state) {
    std::unique_lock lock(state->mutex);
    while (!state->stop) {
        const std::uint64_t generation = state->generation;
        const std::int64_t now = MailClockNowMs();
        std::optional<std::int64_t> wakeAt;
        std::optional<ChannelSchedule::Post> post = state->schedule.next(now, wakeAt);
        if (post) {
            lock.unlock();
            // The servers' last lines are read here, on the channel's
            // thread, up to where each file ended at its alert.
            for (AlertEvent& event : post->message.events)
                if (event.output.empty() && !event.outputFile.empty())
                    event.output = ServerOutputFile::lastLines(event.outputFile, kOutputLines, event.outputEnd);
            const PostOutcome outcome = attempt(state->settings, post->message, &state->cancel, {});
            lock.lock();
            state->schedule.finished(*post, outcome, MailClockNowMs());
            state->idle.notify_all();
            continue;
        }
        state->settled = generation;
        state->idle.notify_all();
        const auto changed = [&] { return state->stop || state->generation != generation; };
        if (wakeAt)
            state->wake.wait_for(lock, std::chrono::milliseconds(std::max<std::int64_t>(*wakeAt - now, 0)), changed);
        else
            state->wake.wait(lock, changed);
    }
    state->running = false;
    state->idle.notify_all();
}

void WebhookChannel::alert(const AlertEvent& event) {
    if (!AlertSelected(settings_.events, event.kind)) return;
    std::lock_guard lock(state_->mutex);
    const std::int64_t now = MailClockNowMs();
    state_->schedule.add(event, now);
    // After the end nothing goes any more: said in the log at once.
    if (state_->stop) state_->schedule.abandon(now);
    ++state_->generation;
    state_->wake.notify_all();
}

void WebhookChannel::wake() {
    std::lock_guard lock(state_->mutex);
    ++state_->generation;
    state_->wake.notify_all();
}

void WebhookChannel::shutdown(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    if (!thread_.joinable()) return;
    state_->schedule.flush();
    ++state_->generation;
    state_->wake.notify_all();
    state_->idle.wait_until(lock, deadline, [&] { return state_->schedule.idle() || !state_->running; });
    state_->stop = true;
    state_->cancel = true;
    state_->wake.notify_all();
    const bool ended = state_->idle.wait_for(lock, std::chrono::seconds(1), [&] { return !state_->running; });
    state_->schedule.abandon(MailClockNowMs());
    lock.unlock();
    if (ended) {
        thread_.join();
    } else {
        AppLogger::Instance().get().warn("{} did not stop in time and is left to end on its own", logName_);
        thread_.detach();
    }
}

bool WebhookChannel::waitIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    return state_->idle.wait_for(lock, limit, [&] { return state_->schedule.idle() || !state_->running; });
}

bool WebhookChannel::waitSettled(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    return state_->idle.wait_for(lock, limit,
                                 [&] { return !state_->running || state_->settled == state_->generation; });
}

std::size_t WebhookChannel::unsentCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->schedule.unsent().size();
}

PostOutcome WebhookChannel::attempt(const WebhookSettingsData& settings, const ChannelMessage& message,
                                    const std::atomic<bool>* cancel,
                                    const std::function<void(const std::string&)>& trace) {
    WebhookFormat::Post post;
    PostOutcome outcome;
    try {
        post = WebhookFormat::build(settings, message, MailClockNowMs());
    } catch (const std::runtime_error& e) {
        // A signature that cannot be made: the post would be refused.
        outcome.result = PostOutcome::Result::Refused;
        outcome.error = e.what();
        return outcome;
    }
    platform::HttpRequest request;
    request.url = post.url;
    request.headers = post.headers;
    request.body = post.body;
    request.timeout = std::chrono::seconds(settings.timeout);
    request.cancel = cancel;
    request.trace = trace;
    request.secrets = WebhookFormat::secrets(settings);
    const platform::HttpResponse response = platform::httpPost(request);
    outcome = WebhookFormat::judge(settings.kind, response, MailClockNowMs());
    outcome.error = platform::maskSecrets(outcome.error, request.secrets);
    return outcome;
}

std::string WebhookChannel::sendNow(const ChannelMessage& message,
                                    const std::function<void(const std::string&)>& trace) const {
    const PostOutcome outcome = attempt(settings_, message, nullptr, trace);
    return outcome.result == PostOutcome::Result::Delivered ? std::string() : outcome.error;
}
