#include "alerts/WebhookFormat.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "alerts/AlertText.h"
#include "alerts/WebhookSigning.h"
#include "platform/TextEncoding.h"

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void text(Writer& w, const char* key, const std::string& value) {
    w.Key(key);
    const std::string utf8 = platform::utf8Text(value);
    w.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
}

void eventFields(Writer& w, const AlertEvent& event, const std::string& host) {
    text(w, "event", AlertEventName(event.kind));
    text(w, "server", event.name);
    w.Key("index");
    w.Int(event.index);
    text(w, "message", event.message);
    text(w, "reason", event.reason);
    w.Key("pid");
    w.Int(event.pid);
    text(w, "time", AlertIsoTime(event.time));
    text(w, "host", host);
    w.Key("output");
    w.StartArray();
    for (const std::string& line : event.output) {
        const std::string utf8 = platform::utf8Text(line);
        w.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
    }
    w.EndArray();
}

std::string finished(const rapidjson::StringBuffer& buffer) { return std::string(buffer.GetString(), buffer.GetSize()); }

// The title in bold above the text, as the markdown robots show it.
std::string markdown(const ChannelMessage& message) {
    std::string body = "**" + message.title + "**\n";
    std::string rest = message.text;
    // Markdown joins single lines; each line of the alert stays one.
    for (std::size_t at = rest.find('\n'); at != std::string::npos; at = rest.find('\n', at + 3))
        rest.replace(at, 1, "  \n");
    return body + rest;
}

}  // namespace

std::string WebhookFormat::eventObject(const ChannelMessage& message) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    switch (message.type) {
        case ChannelMessage::Type::Alert:
            if (!message.events.empty()) {
                eventFields(w, message.events.front(), message.host);
                break;
            }
            [[fallthrough]];
        case ChannelMessage::Type::Test:
            text(w, "event", "test");
            text(w, "message", message.text);
            text(w, "time", AlertIsoTime(message.time));
            text(w, "host", message.host);
            break;
        case ChannelMessage::Type::Digest:
            text(w, "event", "digest");
            text(w, "message", message.text);
            text(w, "time", AlertIsoTime(message.time));
            text(w, "host", message.host);
            w.Key("count");
            w.Uint64(message.events.size());
            w.Key("events");
            w.StartArray();
            for (const AlertEvent& event : message.events) {
                w.StartObject();
                eventFields(w, event, message.host);
                w.EndObject();
            }
            w.EndArray();
            break;
    }
    w.EndObject();
    return finished(buffer);
}

WebhookFormat::Post WebhookFormat::build(const WebhookSettingsData& hook, const ChannelMessage& message,
                                         std::int64_t nowMs) {
    Post post;
    post.url = hook.url;
    post.headers.push_back("Content-Type: application/json; charset=utf-8");
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    const std::string plain = "[" + message.title + "]\n" + message.text;
    switch (hook.kind) {
        case WebhookKind::WeCom:
            w.StartObject();
            if (hook.text) {
                text(w, "msgtype", "text");
                w.Key("text");
                w.StartObject();
                text(w, "content", plain);
            } else {
                text(w, "msgtype", "markdown");
                w.Key("markdown");
                w.StartObject();
                text(w, "content", markdown(message));
            }
            w.EndObject();
            w.EndObject();
            break;
        case WebhookKind::DingTalk:
            w.StartObject();
            text(w, "msgtype", "markdown");
            w.Key("markdown");
            w.StartObject();
            text(w, "title", message.title);
            text(w, "text", markdown(message));
            w.EndObject();
            w.EndObject();
            if (!hook.secret.empty()) {
                post.url += post.url.find('?') == std::string::npos ? '?' : '&';
                post.url += "timestamp=" + std::to_string(nowMs) + "&sign=" + DingTalkSignature(hook.secret, nowMs);
            }
            break;
        case WebhookKind::Feishu: {
            w.StartObject();
            if (!hook.secret.empty()) {
                const std::int64_t seconds = nowMs / 1000;
                text(w, "timestamp", std::to_string(seconds));
                text(w, "sign", FeishuSignature(hook.secret, seconds));
            }
            text(w, "msg_type", "text");
            w.Key("content");
            w.StartObject();
            text(w, "text", plain);
            w.EndObject();
            w.EndObject();
            break;
        }
        case WebhookKind::Slack:
            w.StartObject();
            text(w, "text", plain);
            w.EndObject();
            break;
        case WebhookKind::Json:
            post.body = eventObject(message);
            if (!hook.secret.empty())
                post.headers.push_back("X-Procward-Signature: sha256=" + HmacSha256Base64(hook.secret, post.body));
            return post;
    }
    post.body = finished(buffer);
    return post;
}

std::string WebhookFormat::refusal(WebhookKind kind, const platform::HttpResponse& response) {
    std::string shown = response.body.substr(0, 300);
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
    if (response.status < 200 || response.status > 299)
        return "HTTP " + std::to_string(response.status) + (shown.empty() ? "" : ": " + shown);
    if (kind == WebhookKind::Json) return {};
    if (kind == WebhookKind::Slack) return response.body == "ok" ? std::string() : "Slack answered: " + shown;
    rapidjson::Document answer;
    answer.Parse(response.body.c_str(), response.body.size());
    if (answer.HasParseError() || !answer.IsObject()) return "an answer that is not a JSON object: " + shown;
    const char* codeKey = kind == WebhookKind::Feishu ? "code" : "errcode";
    const char* messageKey = kind == WebhookKind::Feishu ? "msg" : "errmsg";
    if (kind == WebhookKind::Feishu && !answer.HasMember("code") && answer.HasMember("StatusCode")) {
        codeKey = "StatusCode";  // the answer of the older robot API
        messageKey = "StatusMessage";
    }
    const auto code = answer.FindMember(codeKey);
    if (code == answer.MemberEnd() || !code->value.IsInt64()) {
        // A Feishu robot that took the message may say nothing more.
        if (kind == WebhookKind::Feishu) return {};
        return std::string("an answer without ") + codeKey + ": " + shown;
    }
    if (code->value.GetInt64() == 0) return {};
    std::string said;
    const auto what = answer.FindMember(messageKey);
    if (what != answer.MemberEnd() && what->value.IsString()) said = what->value.GetString();
    return std::string(codeKey) + " " + std::to_string(code->value.GetInt64()) + (said.empty() ? "" : ": " + said);
}

std::vector<std::string> WebhookFormat::secrets(const WebhookSettingsData& hook) {
    std::vector<std::string> found;
    if (!hook.secret.empty()) found.push_back(hook.secret);
    std::string url = hook.url;
    const auto scheme = url.find("://");
    std::string rest = scheme == std::string::npos ? url : url.substr(scheme + 3);
    const auto fragment = rest.find('#');
    if (fragment != std::string::npos) rest.erase(fragment);
    const auto slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    if (const auto at = authority.rfind('@'); at != std::string::npos) {
        const std::string userInfo = authority.substr(0, at);
        const auto colon = userInfo.find(':');
        found.push_back(colon == std::string::npos ? userInfo : userInfo.substr(colon + 1));
    }
    if (slash == std::string::npos) return found;
    std::string path = rest.substr(slash);
    std::string query;
    if (const auto q = path.find('?'); q != std::string::npos) {
        query = path.substr(q + 1);
        path.erase(q);
    }
    const auto last = path.rfind('/');
    const std::string segment = path.substr(last + 1);
    // Robot URLs end in their token (Feishu, Slack); a short last word
    // ("send", "hook") is no secret.
    if (segment.size() >= 8) found.push_back(segment);
    std::size_t start = 0;
    while (start <= query.size() && !query.empty()) {
        const auto amp = query.find('&', start);
        const std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        const auto equals = pair.find('=');
        // A token is long; masking a short value would mask the same
        // letters everywhere else in a line.
        if (equals != std::string::npos && pair.size() - equals - 1 >= 6) found.push_back(pair.substr(equals + 1));
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return found;
}

std::string WebhookFormat::maskedUrl(const WebhookSettingsData& hook) {
    return platform::maskSecrets(hook.url, secrets(hook));
}
