#include "alerts/WebhookFormat.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "alerts/AlertText.h"
#include "alerts/MessageFit.h"
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

std::string finished(const rapidjson::StringBuffer& buffer) {
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string joined(const std::vector<std::string>& lines, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i > 0 ? separator : "") + lines[i];
    return text;
}

// The title in bold above the text, as the markdown robots show it;
// markdown joins single lines, so each line of the alert ends in two blanks.
std::string markdown(const std::string& title, const std::vector<std::string>& lines) {
    return "**" + title + "**\n" + joined(lines, "  \n");
}

// The title in brackets above the text, for the robots that show text.
std::string plain(const std::string& title, const std::vector<std::string>& lines) {
    return "[" + title + "]\n" + joined(lines, "\n");
}

std::size_t utf8Size(const std::string& text) { return platform::utf8Text(text).size(); }

// The post of a chat kind made of `title` and `lines`.
WebhookFormat::Post chatPost(const WebhookSettingsData& hook, const std::string& title,
                             const std::vector<std::string>& lines, std::int64_t nowMs) {
    WebhookFormat::Post post;
    post.url = hook.url;
    post.headers.push_back("Content-Type: application/json; charset=utf-8");
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    switch (hook.kind) {
        case WebhookKind::WeCom:
            w.StartObject();
            if (hook.text) {
                text(w, "msgtype", "text");
                w.Key("text");
                w.StartObject();
                text(w, "content", plain(title, lines));
            } else {
                text(w, "msgtype", "markdown");
                w.Key("markdown");
                w.StartObject();
                text(w, "content", markdown(title, lines));
            }
            w.EndObject();
            w.EndObject();
            break;
        case WebhookKind::DingTalk:
            w.StartObject();
            text(w, "msgtype", "markdown");
            w.Key("markdown");
            w.StartObject();
            text(w, "title", title);
            text(w, "text", markdown(title, lines));
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
            text(w, "text", plain(title, lines));
            w.EndObject();
            w.EndObject();
            break;
        }
        case WebhookKind::Slack:
        case WebhookKind::Json:
            w.StartObject();
            text(w, "text", plain(title, lines));
            w.EndObject();
            break;
    }
    post.body = finished(buffer);
    return post;
}

// What the robot measures against its limit, for `title` and `lines`.
std::size_t measured(const WebhookSettingsData& hook, const std::string& title, const std::vector<std::string>& lines) {
    switch (hook.kind) {
        case WebhookKind::WeCom: return utf8Size(hook.text ? plain(title, lines) : markdown(title, lines));
        case WebhookKind::Slack: return utf8Size(plain(title, lines));
        case WebhookKind::DingTalk:
        case WebhookKind::Feishu: {
            // Measured unsigned: a Feishu signature adds its timestamp and
            // sign (under 100 bytes) to the body, DingTalk's goes in the URL.
            WebhookSettingsData bare = hook;
            bare.secret.clear();
            const std::size_t signature = hook.kind == WebhookKind::Feishu && !hook.secret.empty() ? 100 : 0;
            return chatPost(bare, title, lines, 0).body.size() + signature;
        }
        case WebhookKind::Json: return 0;
    }
    return 0;
}

// The seconds (or HTTP date, RFC 9110) of a Retry-After value, as
// milliseconds from `nowMs`; none when it is neither.
std::optional<std::int64_t> retryAfter(const std::string& value, std::int64_t nowMs) {
    if (value.empty()) return std::nullopt;
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (value.size() > 9) return std::nullopt;
        return std::stoll(value) * 1000;
    }
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {}, month[4] = {}, zone[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(value.c_str(), "%3s, %d %3s %d %d:%d:%d %3s", weekday, &day, month, &year, &hour, &minute, &second,
                    zone) != 8)
        return std::nullopt;
    int monthIndex = -1;
    for (int i = 0; i < 12; ++i)
        if (std::string(month) == months[i]) monthIndex = i;
    if (monthIndex < 0 || std::string(zone) != "GMT") return std::nullopt;
    // Days from 1970-01-01 to the date (proleptic Gregorian calendar).
    const int y = year - (monthIndex < 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int m = monthIndex + 1;
    const int dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
    const std::int64_t at = ((days * 24 + hour) * 60 + minute) * 60 + second;
    return std::max<std::int64_t>(at * 1000 - nowMs, 0);
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
    if (!message.unsentNote.empty()) text(w, "unsent", message.unsentNote);
    w.EndObject();
    return finished(buffer);
}

std::size_t WebhookFormat::sizeLimit(const WebhookSettingsData& hook) {
    switch (hook.kind) {
        case WebhookKind::WeCom: return hook.text ? 2048 : 4096;
        case WebhookKind::DingTalk: return 20000;
        case WebhookKind::Feishu: return 20000;
        case WebhookKind::Slack: return 40000;
        case WebhookKind::Json: return 0;
    }
    return 0;
}

bool WebhookFormat::fits(const WebhookSettingsData& hook, const ChannelMessage& message) {
    const std::size_t limit = sizeLimit(hook);
    return limit == 0 || measured(hook, message.title, message.lines()) <= limit;
}

WebhookFormat::Post WebhookFormat::build(const WebhookSettingsData& hook, const ChannelMessage& message,
                                         std::int64_t nowMs) {
    if (hook.kind == WebhookKind::Json) {
        Post post;
        post.url = hook.url;
        post.headers.push_back("Content-Type: application/json; charset=utf-8");
        post.body = eventObject(message);
        if (!hook.secret.empty())
            post.headers.push_back("X-Procward-Signature: sha256=" + HmacSha256Base64(hook.secret, post.body));
        return post;
    }
    const MessageFit::Result fitted =
        MessageFit::fit(message.title, message.lines(), sizeLimit(hook),
                        [&hook](const std::string& title, const std::vector<std::string>& lines) {
                            return measured(hook, title, lines);
                        });
    return chatPost(hook, fitted.title, fitted.lines, nowMs);
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

namespace {

// The error code a robot's JSON answer carries; none when the body is not
// such an answer.
std::optional<std::int64_t> vendorCode(WebhookKind kind, const std::string& body) {
    if (kind == WebhookKind::Slack || kind == WebhookKind::Json) return std::nullopt;
    rapidjson::Document answer;
    answer.Parse(body.c_str(), body.size());
    if (answer.HasParseError() || !answer.IsObject()) return std::nullopt;
    for (const char* key : {"errcode", "code", "StatusCode"}) {
        const auto member = answer.FindMember(key);
        if (member != answer.MemberEnd() && member->value.IsInt64()) return member->value.GetInt64();
    }
    return std::nullopt;
}

// The codes by which a robot says it gets too many posts.
bool rateLimitCode(WebhookKind kind, std::int64_t code) {
    switch (kind) {
        case WebhookKind::DingTalk: return code == 130101 || code == 410100 || code == 90030;
        case WebhookKind::WeCom: return code == 45009 || code == 45033;
        case WebhookKind::Feishu: return code == 11232 || code == 99991400;
        default: return false;
    }
}

}  // namespace

PostOutcome WebhookFormat::judge(WebhookKind kind, const platform::HttpResponse& response, std::int64_t nowMs) {
    PostOutcome outcome;
    if (response.cancelled) {
        outcome.result = PostOutcome::Result::Cancelled;
        outcome.error = "cancelled";
        return outcome;
    }
    if (!response.answered) {
        outcome.result = PostOutcome::Result::Retry;
        outcome.error = response.error;
        return outcome;
    }
    outcome.error = refusal(kind, response);
    if (outcome.error.empty()) return outcome;

    outcome.retryAfterMs = retryAfter(response.header("Retry-After"), nowMs);
    if (!outcome.retryAfterMs) outcome.retryAfterMs = retryAfter(response.header("x-ogw-ratelimit-reset"), nowMs);
    // No wait beyond an hour, whatever a service asks for.
    if (outcome.retryAfterMs) outcome.retryAfterMs = std::min<std::int64_t>(*outcome.retryAfterMs, 3600000);

    const int status = response.status;
    const std::optional<std::int64_t> code = vendorCode(kind, response.body);
    if (status == 429 || (code && rateLimitCode(kind, *code))) {
        outcome.result = PostOutcome::Result::Retry;
        outcome.rateLimited = true;
    } else if (status == 408 || status >= 500) {
        outcome.result = PostOutcome::Result::Retry;
    } else if (status < 200 || status > 299) {
        outcome.result = PostOutcome::Result::Refused;
    } else if (code && *code == -1) {
        outcome.result = PostOutcome::Result::Retry;  // "system busy"
    } else if (!code && kind != WebhookKind::Slack && kind != WebhookKind::Json) {
        // A 2xx that is not the robot's answer: a proxy or a portal on the way.
        outcome.result = PostOutcome::Result::Retry;
    } else {
        outcome.result = PostOutcome::Result::Refused;
    }
    return outcome;
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
