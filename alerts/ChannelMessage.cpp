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
    // One line per alert: a message cut to a robot's size keeps the start of
    // every line, so each alert stays named as far as there is room.
    for (const AlertEvent& event : events) message.text += AlertShortText(event) + "\n";
    message.text += "Host: " + message.host + "\nTime: " + AlertIsoTime(now);
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

std::vector<std::string> ChannelMessage::lines() const {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto end = text.find('\n', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (!unsentNote.empty()) out.push_back(unsentNote);
    return out;
}

std::string ChannelMessage::logText() const {
    if (type == Type::Alert && !events.empty()) return events.front().message;
    if (type == Type::Digest) {
        std::vector<std::string> named;
        for (const AlertEvent& event : events) named.push_back(AlertShortText(event));
        return MailAlertSink::digestText(named);
    }
    const auto end = text.find('\n');
    return text.substr(0, end);
}
