#include "alerts/ChannelMessage.h"

#include "alerts/AlertText.h"
#include "mail/MailAlertSink.h"

ChannelMessage ChannelMessage::alert(const AlertEvent& event) {
    ChannelMessage message;
    message.type = Type::Alert;
    message.title = AlertShortText(event);
    message.host = AlertHostName();
    message.time = event.time;
    message.text = event.message;
    if (!event.reason.empty() && event.message.find(event.reason) == std::string::npos)
        message.text += "\nReason: " + event.reason;
    message.text += "\nHost: " + message.host + "\nTime: " + AlertIsoTime(event.time);
    message.events.push_back(event);
    return message;
}

ChannelMessage ChannelMessage::digest(std::vector<AlertEvent> events, std::int64_t now) {
    ChannelMessage message;
    message.type = Type::Digest;
    message.title = "and " + std::to_string(events.size()) + " more";
    message.host = AlertHostName();
    message.time = now;
    std::vector<std::string> lines;
    for (const AlertEvent& event : events) lines.push_back(AlertShortText(event));
    message.text = MailAlertSink::digestText(lines) + "\nHost: " + message.host + "\nTime: " + AlertIsoTime(now);
    message.events = std::move(events);
    return message;
}

ChannelMessage ChannelMessage::test(std::int64_t now) {
    ChannelMessage message;
    message.type = Type::Test;
    message.title = "Procward test alert";
    message.host = AlertHostName();
    message.time = now;
    message.text = "Procward test alert: this channel works.\nHost: " + message.host + "\nTime: " + AlertIsoTime(now);
    return message;
}

std::string ChannelMessage::logText() const {
    if (type == Type::Alert && !events.empty()) return events.front().message;
    const auto end = text.find('\n');
    return text.substr(0, end);
}
