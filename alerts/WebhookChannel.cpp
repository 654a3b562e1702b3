#include "alerts/WebhookChannel.h"

#include <chrono>
#include <stdexcept>

#include "alerts/AlertText.h"
#include "alerts/WebhookFormat.h"
#include "log/AppLogger.h"
#include "platform/HttpClient.h"
#include "supervision/ServerOutputFile.h"

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

WebhookChannel::WebhookChannel(WebhookSettingsData settings, ChannelQueue::Options options)
    : settings_(std::move(settings)),
      logName_("Webhook " + settings_.name),
      counters_(std::make_shared<ChannelCounters>(settings_.name)),
      queue_(logName_, std::move(options), counters_) {}

WebhookChannel::~WebhookChannel() { queue_.shutdown(std::chrono::steady_clock::now()); }

void WebhookChannel::alert(const AlertEvent& event) {
    if (!AlertSelected(settings_.events, event.kind)) return;
    if (lastPosted_ && settings_.minInterval > 0 && event.time - *lastPosted_ < settings_.minInterval) {
        heldBack_.push_back(event);
        ++counters_->digested;
        return;
    }
    lastPosted_ = event.time;
    queue(ChannelMessage::alert(event));
}

std::optional<std::int64_t> WebhookChannel::digestDue() const {
    if (heldBack_.empty() || !lastPosted_) return std::nullopt;
    return *lastPosted_ + std::max<std::int32_t>(settings_.minInterval, 0);
}

bool WebhookChannel::sendDigest(std::int64_t now) {
    const auto due = digestDue();
    if (!due || now < *due) return false;
    std::vector<AlertEvent> events;
    events.swap(heldBack_);
    AppLogger::Instance().get().info("{}: posting the digest of {} alert(s) held back by the minimum interval",
                                     logName_, events.size());
    queue(ChannelMessage::digest(std::move(events), now));
    return true;
}

namespace {
// As many of a server's last lines as an alert mail quotes by default.
constexpr std::size_t kOutputLines = 20;
}  // namespace

void WebhookChannel::queue(ChannelMessage message) {
    ChannelQueue::Delivery delivery;
    delivery.what = message.logText();
    delivery.attempt = [this, message = std::move(message)](const std::atomic<bool>& cancel) mutable {
        // The server's last lines are read here, on the channel's thread,
        // up to where the file ended at the alert; the loop reads no output.
        for (AlertEvent& event : message.events)
            if (event.output.empty() && !event.outputFile.empty())
                event.output = ServerOutputFile::lastLines(event.outputFile, kOutputLines, event.outputEnd);
        return attempt(message, &cancel, {});
    };
    queue_.enqueue(std::move(delivery));
}

std::string WebhookChannel::attempt(const ChannelMessage& message, const std::atomic<bool>* cancel,
                                    const std::function<void(const std::string&)>& trace) const {
    WebhookFormat::Post post;
    try {
        post = WebhookFormat::build(settings_, message, nowMs());
    } catch (const std::runtime_error& e) {
        return e.what();  // a signature that cannot be made: the post would be refused
    }
    platform::HttpRequest request;
    request.url = post.url;
    request.headers = post.headers;
    request.body = post.body;
    request.timeout = std::chrono::seconds(settings_.timeout);
    request.cancel = cancel;
    request.trace = trace;
    request.secrets = WebhookFormat::secrets(settings_);
    const platform::HttpResponse response = platform::httpPost(request);
    if (!response.answered) return platform::maskSecrets(response.error, request.secrets);
    return platform::maskSecrets(WebhookFormat::refusal(settings_.kind, response), request.secrets);
}

std::string WebhookChannel::sendNow(const ChannelMessage& message,
                                    const std::function<void(const std::string&)>& trace) const {
    return attempt(message, nullptr, trace);
}
